#pragma once
// Hot loops are compiled twice, for the baseline processor and for AVX2, and
// the loader picks one per process. No FMA is enabled in either clone and
// contraction is off, so both give bit-identical results. Sanitizer builds
// keep one version: the clone resolvers run before a sanitizer's runtime is
// ready.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define SP_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define SP_HOT_LOOP
#endif
