// The split-plane transform against the plain one, bit for bit, for every kernel build the
// processor runs: the transform test of the Python suite for builds that have no Python (the
// cross-compiled ones run under emulation by `make crosscheck`).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fft_fast.h"
#include "testsupport/plain_fft.h"

namespace {

using talmek::Kernel;
using talmek::Layout;

// Values in (-255, 255) from a fixed linear congruential sequence: the same data everywhere.
std::vector<float> test_data(std::size_t count, std::uint64_t seed) {
    std::vector<float> v(count);
    std::uint64_t s = seed * 6364136223846793005ull + 1442695040888963407ull;
    for (float& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<float>(static_cast<double>(s >> 11) * 0x1p-53 * 510.0 - 255.0);
    }
    return v;
}

bool same_as_plain(std::int32_t n, std::int32_t sign, bool transposed, Kernel kernel, talmek::Schedule schedule) {
    const auto cells = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    std::vector<float> plain = test_data(2 * cells, static_cast<std::uint64_t>(n * 4 + sign + (transposed ? 2 : 0)));
    talmek::SplitGrid grid(n, kernel, schedule);
    for (std::int32_t a = 0; a < n; ++a) {
        for (std::int32_t b = 0; b < n; ++b) {
            const std::size_t from = static_cast<std::size_t>(a) * n + b;
            const std::size_t to = transposed ? static_cast<std::size_t>(b) * n + a : from;
            grid.re()[to] = plain[2 * from];
            grid.im()[to] = plain[2 * from + 1];
        }
    }
    const std::int32_t dims[2] = {n, n};
    talmek::fft2d(plain.data(), dims, sign);
    grid.transform(sign, transposed ? Layout::transposed : Layout::natural);
    for (std::size_t k = 0; k < cells; ++k) {
        if (std::memcmp(&grid.re()[k], &plain[2 * k], sizeof(float)) != 0 ||
            std::memcmp(&grid.im()[k], &plain[2 * k + 1], sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    int checked = 0;
    int failed = 0;
    std::string ran;
    for (Kernel kernel : {Kernel::baseline, Kernel::avx2, Kernel::avx512}) {
        if (!talmek::kernel_supported(kernel)) continue;
        const char* name = talmek::kernel_name(kernel);
        ran += ran.empty() ? name : std::string(", ") + name;
        for (talmek::Schedule schedule : talmek::kSchedules) {
            for (std::int32_t n : {1, 2, 8, 64, 128, 256, 512}) {
                for (std::int32_t sign : {1, -1}) {
                    for (bool transposed : {false, true}) {
                        ++checked;
                        if (!same_as_plain(n, sign, transposed, kernel, schedule)) {
                            ++failed;
                            std::printf("differs: kernel %s, schedule %s, n %d, sign %d, %s input\n", name,
                                        talmek::schedule_name(schedule), n, sign, transposed ? "transposed" : "natural");
                        }
                    }
                }
            }
        }
    }
    std::printf("transform check (kernels %s; every schedule): %d/%d transforms bit-identical to the plain one\n",
                ran.c_str(), checked - failed, checked);
    return failed == 0 ? 0 : 1;
}
