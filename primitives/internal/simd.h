#pragma once
// Hot loops are compiled several times and the loader picks one version per
// process. SP_HOT_LOOP builds the baseline processor and AVX2, with no FMA
// and contraction off, so both give bit-identical results; the vector
// primitives, whose results are exact roundings, use it.
//
// SP_FFT_HOT_LOOP adds the x86-64-v3 (AVX2 and FMA) and x86-64-v4 (AVX-512)
// levels for the FFT kernels. Contraction stays off in them too: fusing
// a * b + c gained the transforms little, and unfused, every machine writes
// the same output bytes for the same input. The ISA levels are tested by
// feature, so AMD and Intel processors alike get them.
//
// Sanitizer builds keep one version: the clone resolvers run before a
// sanitizer's runtime is ready.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define SP_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#define SP_FFT_HOT_LOOP \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define SP_HOT_LOOP
#define SP_FFT_HOT_LOOP
#endif
