#include "records/image_rows.h"

namespace talmek {

ImageRows::ImageRows(std::size_t rows, std::size_t width)
    : owned_(rows * width, 0),
      origin_(owned_.data()),
      rows_(rows),
      width_(width),
      row_stride_(static_cast<std::ptrdiff_t>(width)),
      col_stride_(1) {}

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
