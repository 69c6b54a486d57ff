#include "asciiscan.h"

#include <QtGlobal>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace AsciiScan {
namespace {

// The byte loops: the whole scan without SSE2, the last few bytes with it.
int plainRunByBytes(const char *bytes, int size)
{
    int i = 0;
    while (i < size && uchar(bytes[i]) >= 0x20 && bytes[i] != '"' && bytes[i] != '\\')
        ++i;
    return i;
}

int lastNonAsciiByBytes(const char *bytes, int size)
{
    while (size > 0 && uchar(bytes[size - 1]) < 0x80)
        --size;
    return size - 1;
}

#ifdef __SSE2__

__m128i load(const char *bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

// Marks (0xff) the bytes of sixteen that need escaping in a JSON string.
__m128i escapedBytes(const char *bytes)
{
    const __m128i v = load(bytes);
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_or_si128(control, _mm_or_si128(quote, backslash));
}

#endif

} // namespace

int plainJsonRun(const char *bytes, int size)
{
    int i = 0;
#ifdef __SSE2__
    // Sixty-four bytes a step while all are plain, then sixteen to find the first that is not.
    for (; size - i >= 64; i += 64) {
        const __m128i any =
            _mm_or_si128(_mm_or_si128(escapedBytes(bytes + i), escapedBytes(bytes + i + 16)),
                         _mm_or_si128(escapedBytes(bytes + i + 32), escapedBytes(bytes + i + 48)));
        if (_mm_movemask_epi8(any))
            break;
    }
    for (; size - i >= 16; i += 16) {
        if (const int mask = _mm_movemask_epi8(escapedBytes(bytes + i)))
            return i + __builtin_ctz(unsigned(mask));
    }
#endif
    return i + plainRunByBytes(bytes + i, size - i);
}

int lastNonAscii(const char *bytes, int size)
{
#ifdef __SSE2__
    for (; size >= 64; size -= 64) {
        const __m128i block =
            _mm_or_si128(_mm_or_si128(load(bytes + size - 64), load(bytes + size - 48)),
                         _mm_or_si128(load(bytes + size - 32), load(bytes + size - 16)));
        if (_mm_movemask_epi8(block))
            break;
    }
    for (; size >= 16; size -= 16) {
        if (const int mask = _mm_movemask_epi8(load(bytes + size - 16)))
            return size - 16 + 31 - __builtin_clz(unsigned(mask));
    }
#endif
    return lastNonAsciiByBytes(bytes, size);
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
