#include "asciiscan.h"

#include <QtGlobal>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace AsciiScan {
namespace {

bool plainJsonByte(char c)
{
    return uchar(c) >= 0x20 && c != '"' && c != '\\';
}

quint64 load64(const char *bytes)
{
    quint64 word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

constexpr quint64 kOnes = 0x0101010101010101u;
constexpr quint64 kHighs = 0x8080808080808080u;

// Whether any byte of the word is below n (n at most 0x80). Exact for the word
// as a whole, not for telling which byte.
constexpr quint64 anyByteBelow(quint64 word, quint64 n)
{
    return (word - n * kOnes) & ~word & kHighs;
}

constexpr quint64 anyByteEqual(quint64 word, char c)
{
    return anyByteBelow(word ^ (uchar(c) * kOnes), 1);
}

} // namespace

namespace Portable {

int plainJsonRun(const char *bytes, int size)
{
    int i = 0;
    for (; size - i >= 8; i += 8) {
        const quint64 word = load64(bytes + i);
        if (anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\'))
            break;
    }
    while (i < size && plainJsonByte(bytes[i]))
        ++i;
    return i;
}

int lastNonAscii(const char *bytes, int size)
{
    int end = size;
    for (; end >= 8; end -= 8) {
        if (load64(bytes + end - 8) & kHighs)
            break;
    }
    while (end > 0 && uchar(bytes[end - 1]) < 0x80)
        --end;
    return end - 1;
}

} // namespace Portable

#ifdef __SSE2__

namespace {

// Marks (0xff) the bytes of sixteen that need escaping in a JSON string.
__m128i escapedBytes(const char *bytes)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_or_si128(control, _mm_or_si128(quote, backslash));
}

int highBits(const char *bytes)
{
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
}

} // namespace

int plainJsonRun(const char *bytes, int size)
{
    int i = 0;
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
    return i + Portable::plainJsonRun(bytes + i, size - i); // the last few bytes
}

int lastNonAscii(const char *bytes, int size)
{
    int end = size;
    for (; end >= 64; end -= 64) {
        const char *block = bytes + end - 64;
        if (highBits(block) | highBits(block + 16) | highBits(block + 32) | highBits(block + 48))
            break;
    }
    for (; end >= 16; end -= 16) {
        if (const int mask = highBits(bytes + end - 16))
            return end - 16 + 31 - __builtin_clz(unsigned(mask));
    }
    return Portable::lastNonAscii(bytes, end); // the first few bytes
}

void widen(const char *bytes, int size, char16_t *units)
{
    int i = 0;
    const __m128i zero = _mm_setzero_si128();
    for (; size - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(units + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(units + i + 8), _mm_unpackhi_epi8(v, zero));
    }
    for (; i < size; ++i)
        units[i] = uchar(bytes[i]);
}

#else

void widen(const char *bytes, int size, char16_t *units)
{
    for (int i = 0; i < size; ++i)
        units[i] = uchar(bytes[i]);
}

int plainJsonRun(const char *bytes, int size)
{
    return Portable::plainJsonRun(bytes, size);
}

int lastNonAscii(const char *bytes, int size)
{
    return Portable::lastNonAscii(bytes, size);
}

#endif

} // namespace AsciiScan
