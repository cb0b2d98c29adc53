#pragma once
#include <pybind11/numpy.h>

#include <cstdint>

#include "records/image_rows.h"

namespace talmek::bindings {

using ImageArray = pybind11::array_t<std::uint8_t, pybind11::array::forcecast>;

// Copies a two-dimensional uint8 array, honouring its strides, into the engine's image type.
// Throws std::runtime_error("Input array must be 2D") for any other number of dimensions.
ImageRows to_image_rows(const ImageArray& array);

}  // namespace talmek::bindings
