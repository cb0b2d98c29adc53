#pragma once

namespace talmek {

// Natural logarithm of a float, the engine's own: the same bits on every IEEE-754 platform and
// compiler (those of glibc's logf on x86-64), where the C library's std::log on floats differs
// between libraries in the last bit of some results. Needs round-to-nearest and no contraction of
// its double expressions into fused multiply-adds (the engine is built with -ffp-contract=off).
float log_float(float x);

}  // namespace talmek
