#pragma once
#include <cstdint>

#include "records/image_rows.h"

namespace talmek {

// Extraction status codes.
enum ChipStatus : std::int32_t {
    CHIP_OK = 200,
    CHIP_BAD_SIZE = 204,
    CHIP_OUTSIDE = 205,
    CHIP_NO_BUFFER = 211,
};

// Cuts a width x height chip centred on (row, col) into `buffer` as floats, row-major.
// Size is tested against [min_size, max_size] first, then the position, then the buffer;
// the buffer is written only when CHIP_OK is returned.
std::int32_t extract_chip(const ImageRows& image, std::int32_t row, std::int32_t col,
                          std::int32_t width, std::int32_t height, std::int32_t min_size,
                          std::int32_t max_size, float* buffer);

}  // namespace talmek
