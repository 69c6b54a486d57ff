#include "asciiscan.h"

#include <QtGlobal>

#include <cstring>

namespace AsciiScan {
namespace {

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

int plainJsonRun(const char *bytes, int size)
{
    int i = 0;
    for (; size - i >= 8; i += 8) {
        const quint64 word = load64(bytes + i);
        if (anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\'))
            break;
    }
    while (i < size && uchar(bytes[i]) >= 0x20 && bytes[i] != '"' && bytes[i] != '\\')
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

void widen(const char *bytes, int size, char16_t *units)
{
    // A loop the compiler turns into vector instructions.
    for (int i = 0; i < size; ++i)
        units[i] = uchar(bytes[i]);
}

} // namespace AsciiScan
