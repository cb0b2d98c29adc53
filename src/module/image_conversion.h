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

// The engine counts rows and columns in 32 bits: larger images cannot be matched.
bool fits_row_and_column_counts(pybind11::ssize_t rows, pybind11::ssize_t cols);

// Throws std::runtime_error("Input array must be 2D") for any other number of dimensions,
// std::length_error for more rows or columns than fits_row_and_column_counts allows, and
// pybind11's error wrapper when the buffer cannot be had.
BorrowedImage to_image_rows(const ImageArray& array);

}  // namespace talmek::bindings
