// Included first by the AVX files that also use FMA3: their variants sit in
// the FMA part of the AVX level, which asks for AVX and FMA3 but not AVX2,
// so the file is compiled for AVX (by its name) plus FMA3 (here) only.
// Pair with fused_end.h at the end of the file.
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx,fma"))), apply_to = function)
#else
#pragma GCC target("fma")
#endif
