#pragma once
#include <pybind11/numpy.h>

#include <cstdint>

#include "records/image_rows.h"

namespace talmek::bindings {

using ImageArray = pybind11::array_t<std::uint8_t, pybind11::array::forcecast>;

// The engine's view of a two-dimensional uint8 array: its bytes are read in place through the
// buffer's shape and strides, and the held buffer keeps the array from being resized meanwhile.
struct BorrowedImage {
    pybind11::buffer_info buffer;
    ImageRows rows;
};

// Throws std::runtime_error("Input array must be 2D") for any other number of dimensions, and
// pybind11's error wrapper when the buffer cannot be had.
BorrowedImage to_image_rows(const ImageArray& array);

}  // namespace talmek::bindings
