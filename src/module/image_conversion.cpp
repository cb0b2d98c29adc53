#include "module/image_conversion.h"

#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace talmek::bindings {

BorrowedImage to_image_rows(const ImageArray& array) {
    py::buffer_info info = array.request();
    if (info.ndim != 2) throw std::runtime_error("Input array must be 2D");
    ImageRows rows = ImageRows::borrow(static_cast<const std::uint8_t*>(info.ptr),
                                       static_cast<std::size_t>(info.shape[0]),
                                       static_cast<std::size_t>(info.shape[1]), info.strides[0], info.strides[1]);
    return {std::move(info), std::move(rows)};
}

}  // namespace talmek::bindings
