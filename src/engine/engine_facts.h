#pragma once
// The engine's fixed facts, kept here alone: status codes, chip size limits, the chip origin rule
// and the fit types. Everything else (the engine, the modules, and through the batch module the
// Python package) takes them from this file; adding a status or changing a limit happens here.
#include <cmath>
#include <cstdint>
#include <string_view>

namespace talmek {

// Codes found in a result's `active` field and returned by the stages that decide them.
namespace status {
// Decided by the peak evaluation.
inline constexpr std::int32_t accepted = 1;
inline constexpr std::int32_t border = 2;     // the peak lies too near the surface's edge
inline constexpr std::int32_t ambiguous = 3;  // a distant candidate ranks too close to the peak
inline constexpr std::int32_t weak = 4;       // the strength stays below the minimum
// Decided after the fit: the displacement exceeds its limit.
inline constexpr std::int32_t too_far = 5;
// Decided by the chip extraction. chip_ok and no_chip_buffer never reach a result.
inline constexpr std::int32_t chip_ok = 200;
inline constexpr std::int32_t bad_chip_size = 204;
inline constexpr std::int32_t chip_outside = 205;
inline constexpr std::int32_t no_chip_buffer = 211;
// The linear solver's code for a successful factorisation; other values name the failing step.
inline constexpr std::int32_t solver_ok = -99;
}  // namespace status

// The codes a result can carry, by name, in the order of their codes.
struct NamedStatus {
    std::string_view name;
    std::int32_t code;
};
inline constexpr NamedStatus kMatchStatuses[] = {
    {"accepted", status::accepted},           {"border", status::border},
    {"ambiguous", status::ambiguous},         {"weak", status::weak},
    {"too_far", status::too_far},             {"bad_chip_size", status::bad_chip_size},
    {"chip_outside", status::chip_outside},
};

// Inclusive size limits of a chip, the same for its width and its height.
struct ChipLimits {
    std::int32_t min;
    std::int32_t max;
};
inline constexpr ChipLimits kReferenceChip{1, 128};
inline constexpr ChipLimits kSearchChip{48, 256};

// First row (or column) of a chip of `size` pixels centred on `centre`: for an even size the
// centre falls just before the middle. Kept in 64 bits: centres near the int32 limits must not
// overflow.
inline std::int64_t chip_origin(std::int32_t centre, std::int32_t size) {
    return static_cast<std::int64_t>(
        std::trunc(static_cast<double>(centre) - static_cast<double>(size) * 0.5 + 1.0));
}

// Sub-pixel fit types (the peak method setting). A quadric is fitted to the 5x5 neighbourhood
// of the peak: to its values, to their negative logarithms, or, for any other type but `none`,
// to their reciprocals. `none` keeps the whole-pixel peak.
namespace fit {
inline constexpr std::int32_t values = 1;
inline constexpr std::int32_t log = 2;
inline constexpr std::int32_t reciprocal = 3;
inline constexpr std::int32_t none = 4;
}  // namespace fit

}  // namespace talmek
