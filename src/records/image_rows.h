#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace talmek {

// An 8-bit grey-scale image as a sequence of equal-length rows; element (i, j) is row i, column j.
class ImageRows {
public:
    ImageRows() = default;
    // rows x width pixels, all zero.
    ImageRows(std::size_t rows, std::size_t width);

    std::size_t row_count() const { return rows_.size(); }
    // Width is the length of the first row; an image without rows has none.
    std::size_t width() const { return rows_.empty() ? 0 : rows_.front().size(); }
    const std::uint8_t* row(std::size_t i) const { return rows_[i].data(); }
    std::uint8_t* row(std::size_t i) { return rows_[i].data(); }
    std::uint8_t at(std::size_t i, std::size_t j) const { return rows_[i][j]; }

private:
    std::vector<std::vector<std::uint8_t>> rows_;
};

}  // namespace talmek
