#pragma once
#include <cstddef>
#include <cstdint>

namespace talmek {

// An 8-bit grey-scale image as rows of equal length; element (i, j) is row i, column j. It borrows
// the caller's bytes through a row and a column stride in bytes (either may be negative); they
// must stay valid and unchanged while the image is in use.
//
// The borrowed bytes may also be a window of a larger image (placed_in): the image then has the
// larger image's extents, but only the elements inside the window may be read.
class ImageRows {
public:
    ImageRows() = default;
    static ImageRows borrow(const std::uint8_t* origin, std::size_t rows, std::size_t width,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride);

    // This image as the window starting at (first_row, first_col) of a full_rows x full_cols
    // image: element (i, j) of the result is element (i - first_row, j - first_col) of this one.
    // The caller makes sure that the window lies inside the full image.
    ImageRows placed_in(std::size_t first_row, std::size_t first_col, std::size_t full_rows,
                        std::size_t full_cols) const;
    // True when the block of `rows` x `cols` elements starting at (first_row, first_col) lies
    // inside the elements held (the whole image unless it is a window).
    bool holds(std::int64_t first_row, std::int64_t first_col, std::int64_t rows, std::int64_t cols) const {
        return first_row >= first_row_ && first_col >= first_col_ &&
               first_row + rows <= first_row_ + static_cast<std::int64_t>(held_rows_) &&
               first_col + cols <= first_col_ + static_cast<std::int64_t>(held_cols_);
    }

    std::size_t row_count() const { return rows_; }
    std::size_t width() const { return width_; }
    std::uint8_t at(std::size_t i, std::size_t j) const { return *address(i, j); }
    // Element (i, j); the following pixels of row i lie col_stride() bytes apart from it on.
    const std::uint8_t* address(std::size_t i, std::size_t j) const {
        return origin_ + (static_cast<std::ptrdiff_t>(i) - first_row_) * row_stride_ +
               (static_cast<std::ptrdiff_t>(j) - first_col_) * col_stride_;
    }
    std::ptrdiff_t col_stride() const { return col_stride_; }

private:
    const std::uint8_t* origin_ = nullptr;  // element (first_row_, first_col_)
    std::size_t rows_ = 0;
    std::size_t width_ = 0;
    std::ptrdiff_t first_row_ = 0;
    std::ptrdiff_t first_col_ = 0;
    std::size_t held_rows_ = 0;
    std::size_t held_cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 1;
};

}  // namespace talmek
