// Which vector instructions the codec's loops use. The plain C++ loops are
// the reference; the vector loops give the same bytes, faster. They are
// chosen when the codec is first used, by what the processor has (AVX2 on
// x86-64; nothing elsewhere), unless the environment variable GFX16_SIMD is
// "scalar": then the plain loops run everywhere.
#ifndef GFX16_CODEC_SIMD_H
#define GFX16_CODEC_SIMD_H

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define GFX16_X86_VECTORS 1
#else
#define GFX16_X86_VECTORS 0
#endif

enum class Simd { scalar, avx2 };

// What the loops use now.
Simd simd_level(void);

// The widest the processor has.
Simd simd_available(void);

// The loops use `level` from now on, or the widest the processor has if
// that is less; for tests, which run every path in one process. Returns
// what the loops used before.
Simd use_simd(Simd level);

#endif
