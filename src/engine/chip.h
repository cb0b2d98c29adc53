#pragma once
#include <cstdint>

#include "engine/engine_facts.h"
#include "records/image_rows.h"

namespace talmek {

// Cuts a width x height chip centred on (row, col) into `buffer` as floats, row-major.
// Size is tested against the limits first, then the position, then the buffer; the
// result is status::chip_ok, bad_chip_size, chip_outside or no_chip_buffer, and the buffer is
// written only for chip_ok. Throws std::out_of_range for a chip inside the image that reaches
// beyond the window of it that is held (see ImageRows::placed_in).
std::int32_t extract_chip(const ImageRows& image, std::int32_t row, std::int32_t col,
                          std::int32_t width, std::int32_t height, ChipLimits limits, float* buffer);

}  // namespace talmek
