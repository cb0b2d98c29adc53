#include "engine/chip.h"

#include <cmath>

namespace talmek {

namespace {

// Top-left index of a chip of `size` pixels centred on `centre`: for an even size the centre
// falls just before the middle. Kept in 64 bits: centres near the int32 limits must not overflow.
std::int64_t first_index(std::int32_t centre, std::int32_t size) {
    return static_cast<std::int64_t>(
        std::trunc(static_cast<double>(centre) - static_cast<double>(size) * 0.5 + 1.0));
}

bool outside(std::int32_t value, std::int32_t lo, std::int32_t hi) {
    return value < lo || value > hi;
}

}  // namespace

std::int32_t extract_chip(const ImageRows& image, std::int32_t row, std::int32_t col,
                          std::int32_t width, std::int32_t height, std::int32_t min_size,
                          std::int32_t max_size, float* buffer) {
    if (outside(width, min_size, max_size) || outside(height, min_size, max_size)) {
        return CHIP_BAD_SIZE;
    }
    const std::int64_t first_row = first_index(row, height);
    const std::int64_t first_col = first_index(col, width);
    if (first_row < 0 || first_col < 0) return CHIP_OUTSIDE;
    if (first_row + height > static_cast<std::int64_t>(image.row_count())) return CHIP_OUTSIDE;
    if (first_col + width > static_cast<std::int64_t>(image.width())) return CHIP_OUTSIDE;
    if (buffer == nullptr) return CHIP_NO_BUFFER;

    const std::ptrdiff_t step = image.col_stride();
    float* out = buffer;
    for (std::int32_t i = 0; i < height; ++i) {
        const std::uint8_t* pixels = image.row(static_cast<std::size_t>(first_row + i)) + first_col * step;
        if (step == 1) {
            for (std::int32_t j = 0; j < width; ++j) *out++ = static_cast<float>(pixels[j]);
        } else {
            for (std::int32_t j = 0; j < width; ++j) *out++ = static_cast<float>(pixels[j * step]);
        }
    }
    return CHIP_OK;
}

}  // namespace talmek
