// Loops compiled for more than one instruction set and picked at load time.
#pragma once

// A function marked PELDA_VECTOR_CLONES is compiled twice on x86-64 (AVX2
// and baseline); the loader picks the version the processor runs. Sanitizer
// builds keep one version. Neither version contracts multiplications and
// additions into FMA, so both give the same bits.
#if defined(__x86_64__) && defined(__has_attribute) && !defined(__SANITIZE_ADDRESS__)
#if __has_attribute(target_clones)
#define PELDA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef PELDA_VECTOR_CLONES
#define PELDA_VECTOR_CLONES
#endif

// Before a loop whose iterations are independent although the compiler cannot
// prove that its arrays do not overlap (too many to check at run time).
#if defined(__clang__)
#define PELDA_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define PELDA_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#else
#define PELDA_INDEPENDENT_ITERATIONS
#endif
