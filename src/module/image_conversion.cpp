#include "module/image_conversion.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace talmek::bindings {

bool fits_row_and_column_counts(pybind11::ssize_t rows, pybind11::ssize_t cols) {
    constexpr pybind11::ssize_t most = std::numeric_limits<std::int32_t>::max();
    return rows <= most && cols <= most;
}

BorrowedImage to_image_rows(const ImageArray& array) {
    py::buffer_info info = array.request();
    if (info.ndim != 2) throw std::runtime_error("Input array must be 2D");
    if (!fits_row_and_column_counts(info.shape[0], info.shape[1])) {
        throw std::length_error("image has more rows or columns than a 32-bit count holds");
    }
    ImageRows rows = ImageRows::borrow(static_cast<const std::uint8_t*>(info.ptr),
                                       static_cast<std::size_t>(info.shape[0]),
                                       static_cast<std::size_t>(info.shape[1]), info.strides[0], info.strides[1]);
    return {std::move(info), std::move(rows)};
}

}  // namespace talmek::bindings
