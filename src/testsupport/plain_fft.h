#pragma once
#include <cstdint>

namespace talmek {

// The plain transform that the split-plane one (SplitGrid) reproduces bit for bit: the reference
// the tests hold it to. The engine itself never runs it.
//
// In-place, unscaled radix-2 transform of a dims[0] x dims[1] array of complex values (pairs of
// floats, real part first; the second index is contiguous). sign is the exponent's sign (+1/-1).
// Returns false, leaving the data untouched, when an extent is not a power of two.
bool fft2d(float* data, const std::int32_t dims[2], std::int32_t sign);

bool is_power_of_two(std::int32_t n);

}  // namespace talmek
