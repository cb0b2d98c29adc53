#include "engine/workspace.h"

#include <new>

#include "engine/engine_facts.h"

namespace talmek {

namespace {
// The largest chip the limits admit; a buffer beyond it served a rejected size and is not kept.
constexpr std::int32_t kLargestChip = kSearchChip.max * kSearchChip.max;
}  // namespace

float* ChipBuffer::obtain(std::int32_t count) {
    if (count < 0) throw std::bad_array_new_length();
    if (count > capacity_ || capacity_ > kLargestChip) {
        data_.reset();
        capacity_ = 0;
        data_.reset(new float[static_cast<std::size_t>(count)]);
        capacity_ = count;
    }
    return data_.get();
}

}  // namespace talmek
