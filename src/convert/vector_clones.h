// Function multiversioning for the conversion's bulk loops.
//
// On x86-64 ELF targets a function marked QUENWICK_VECTOR_CLONES is compiled twice, for the
// baseline instruction set and for AVX2, and the dynamic loader picks the one the machine runs.
// Elsewhere (Apple platforms among them) it is compiled once, for the baseline. The clones run
// the same operations in the same order, and neither may fuse a multiply with an add (the
// library is built without contraction), so they produce the same bits.
#pragma once

// ThreadSanitizer instruments the function that picks a clone, and the loader calls that before
// the sanitizer's runtime is up; such builds get the baseline only.
#if defined(__SANITIZE_THREAD__)
#define QUENWICK_NO_VECTOR_CLONES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUENWICK_NO_VECTOR_CLONES 1
#endif
#endif

#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(QUENWICK_NO_VECTOR_CLONES)
#define QUENWICK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUENWICK_VECTOR_CLONES
#endif
