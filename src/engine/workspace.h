#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/correlation.h"
#include "engine/fft_fast.h"

namespace talmek {

// A chip buffer that is kept from one match to the next.
class ChipBuffer {
public:
    // Room for `count` floats (a 32-bit element count). A negative count fails as an invalid
    // array length, like any array of that length would.
    float* obtain(std::int32_t count);

private:
    std::unique_ptr<float[]> data_;
    std::int32_t capacity_ = 0;
};

// Everything one match works in. A caller that matches many points keeps one per thread so that
// nothing is allocated once the first match of each size has run; values never carry over.
class Workspace {
public:
    ChipBuffer search_chip;
    ChipBuffer ref_chip;
    SurfaceScratch surface_scratch;

    SplitGrid& search_grid(std::int32_t n) { return grid(search_grid_, n); }
    SplitGrid& ref_grid(std::int32_t n) { return grid(ref_grid_, n); }
    float* raw_surface(std::size_t cells) { return sized(raw_surface_, cells); }
    float* surface(std::size_t cells) { return sized(surface_, cells); }

private:
    static SplitGrid& grid(std::unique_ptr<SplitGrid>& g, std::int32_t n) {
        if (!g || g->size() != n) g = std::make_unique<SplitGrid>(n);
        return *g;
    }
    static float* sized(std::vector<float>& v, std::size_t cells) {
        if (v.size() < cells) v.resize(cells);
        return v.data();
    }

    std::unique_ptr<SplitGrid> search_grid_;
    std::unique_ptr<SplitGrid> ref_grid_;
    std::vector<float> raw_surface_;
    std::vector<float> surface_;
};

}  // namespace talmek
