#include "records/image_rows.h"

namespace talmek {

ImageRows ImageRows::borrow(const std::uint8_t* origin, std::size_t rows, std::size_t width,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    ImageRows image;
    image.origin_ = origin;
    image.rows_ = rows;
    image.width_ = width;
    image.held_rows_ = rows;
    image.held_cols_ = width;
    image.row_stride_ = row_stride;
    image.col_stride_ = col_stride;
    return image;
}

ImageRows ImageRows::placed_in(std::size_t first_row, std::size_t first_col, std::size_t full_rows,
                               std::size_t full_cols) const {
    ImageRows image = *this;
    image.first_row_ = first_row_ + static_cast<std::ptrdiff_t>(first_row);
    image.first_col_ = first_col_ + static_cast<std::ptrdiff_t>(first_col);
    image.rows_ = full_rows;
    image.width_ = full_cols;
    return image;
}

}  // namespace talmek
