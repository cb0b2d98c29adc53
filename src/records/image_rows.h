#pragma once
#include <cstddef>
#include <cstdint>

namespace talmek {

// An 8-bit grey-scale image as rows of equal length; element (i, j) is row i, column j. It borrows
// the caller's bytes through a row and a column stride in bytes (either may be negative); they
// must stay valid and unchanged while the image is in use.
class ImageRows {
public:
    ImageRows() = default;
    static ImageRows borrow(const std::uint8_t* origin, std::size_t rows, std::size_t width,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride);

    std::size_t row_count() const { return rows_; }
    std::size_t width() const { return width_; }
    std::uint8_t at(std::size_t i, std::size_t j) const { return *address(i, j); }
    // Pixels of row i lie col_stride() bytes apart from row(i) on.
    const std::uint8_t* row(std::size_t i) const { return address(i, 0); }
    std::ptrdiff_t col_stride() const { return col_stride_; }

private:
    const std::uint8_t* address(std::size_t i, std::size_t j) const {
        return origin_ + static_cast<std::ptrdiff_t>(i) * row_stride_ + static_cast<std::ptrdiff_t>(j) * col_stride_;
    }

    const std::uint8_t* origin_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t width_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 1;
};

}  // namespace talmek
