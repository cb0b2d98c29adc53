#pragma once

namespace talmek {

// The transform's own value of a full turn; the twiddle factors depend on it bit for bit.
constexpr double kTurn = 6.28318530717959;

// sin(theta) for the transform's twiddle recurrences, whose angles are +-kTurn / 2^j. For those
// angles the result is the correctly rounded sine on every platform: the C library's std::sin is
// taken where it gives that value and a stored one where it does not (other libraries differ in
// the last bit of some results). Any other angle gets std::sin as it is.
double twiddle_sine(double theta);

// The same with another function in place of std::sin (a test forces the stored values this way).
using SineFunction = double (*)(double);
double twiddle_sine(double theta, SineFunction platform);

// The correctly rounded sin(kTurn / 2^j) for j = 1 .. twiddle_sine_count(), as stored.
int twiddle_sine_count();
double stored_twiddle_sine(int j);

}  // namespace talmek
