#include "asciiscan.h"

#include <QtGlobal>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace AsciiScan {

#ifdef __SSE2__
namespace {
__m128i load(const char *bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}
} // namespace
#endif

// Each scan takes sixteen bytes a step where it can, and the rest one at a time.
int plainJsonRun(const char *bytes, int size)
{
    int i = 0;
#ifdef __SSE2__
    for (; size - i >= 16; i += 16) {
        // Control characters, quotes and backslashes marked 0xff.
        const __m128i v = load(bytes + i);
        const __m128i escaped =
            _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        if (const int mask = _mm_movemask_epi8(escaped))
            return i + __builtin_ctz(unsigned(mask));
    }
#endif
    while (i < size && uchar(bytes[i]) >= 0x20 && bytes[i] != '"' && bytes[i] != '\\')
        ++i;
    return i;
}

int lastNonAscii(const char *bytes, int size)
{
#ifdef __SSE2__
    for (; size >= 16; size -= 16) {
        if (const int mask = _mm_movemask_epi8(load(bytes + size - 16)))
            return size - 16 + 31 - __builtin_clz(unsigned(mask));
    }
#endif
    while (size > 0 && uchar(bytes[size - 1]) < 0x80)
        --size;
    return size - 1;
}

void widen(const char *bytes, int size, char16_t *units)
{
    int i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; size - i >= 16; i += 16) {
        const __m128i v = load(bytes + i);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(units + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(units + i + 8), _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < size; ++i)
        units[i] = uchar(bytes[i]);
}

} // namespace AsciiScan
