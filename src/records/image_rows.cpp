#include "records/image_rows.h"

namespace talmek {

ImageRows ImageRows::borrow(const std::uint8_t* origin, std::size_t rows, std::size_t width,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    ImageRows image;
    image.origin_ = origin;
    image.rows_ = rows;
    image.width_ = width;
    image.row_stride_ = row_stride;
    image.col_stride_ = col_stride;
    return image;
}

}  // namespace talmek
