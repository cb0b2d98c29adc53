#include "records/image_rows.h"

namespace talmek {

ImageRows::ImageRows(std::size_t rows, std::size_t width)
    : rows_(rows, std::vector<std::uint8_t>(width, 0)) {}

}  // namespace talmek
