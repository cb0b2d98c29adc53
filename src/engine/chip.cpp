#include "engine/chip.h"

#include <stdexcept>

namespace talmek {

namespace {

bool outside(std::int32_t value, ChipLimits limits) {
    return value < limits.min || value > limits.max;
}

}  // namespace

std::int32_t extract_chip(const ImageRows& image, std::int32_t row, std::int32_t col,
                          std::int32_t width, std::int32_t height, ChipLimits limits, float* buffer) {
    if (outside(width, limits) || outside(height, limits)) {
        return status::bad_chip_size;
    }
    const std::int64_t first_row = chip_origin(row, height);
    const std::int64_t first_col = chip_origin(col, width);
    if (first_row < 0 || first_col < 0) return status::chip_outside;
    if (first_row + height > static_cast<std::int64_t>(image.row_count())) return status::chip_outside;
    if (first_col + width > static_cast<std::int64_t>(image.width())) return status::chip_outside;
    // Inside the image but not inside the window of it that is held: nothing may be read.
    if (!image.holds(first_row, first_col, height, width)) {
        throw std::out_of_range("a chip reaches beyond the window of the image that was passed");
    }
    if (buffer == nullptr) return status::no_chip_buffer;

    const std::ptrdiff_t step = image.col_stride();
    float* out = buffer;
    for (std::int32_t i = 0; i < height; ++i) {
        const std::uint8_t* pixels =
            image.address(static_cast<std::size_t>(first_row + i), static_cast<std::size_t>(first_col));
        if (step == 1) {
            for (std::int32_t j = 0; j < width; ++j) *out++ = static_cast<float>(pixels[j]);
        } else {
            for (std::int32_t j = 0; j < width; ++j) *out++ = static_cast<float>(pixels[j * step]);
        }
    }
    return status::chip_ok;
}

}  // namespace talmek
