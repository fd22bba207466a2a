// Which vector units the kernels may use, decided once at run time so that one
// binary runs on any x86-64 processor. The vector paths give the same bytes as the
// one-pixel-at-a-time code; tests switch them off to compare both.
#pragma once

// Set to true to keep the kernels on their scalar paths.
inline bool& vectorUnitsOff() {
    static bool off = false;
    return off;
}

// Whether the processor has AVX2 (256-bit integer and double vectors, gathers).
inline bool haveAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has && !vectorUnitsOff();
#else
    return false;
#endif
}
