#ifndef ASCIISCAN_H
#define ASCIISCAN_H

// Scans over text that is mostly plain ASCII. A card's photo is most of a
// read reply and is looked through twice on the way (for where the decoded
// part of the record ends, and for bytes to escape), so where the processor
// has SSE2 these look at sixteen bytes at a time; elsewhere at one: a byte
// loop alone keeps a read's reply from its throughput target (the figures are
// in docs/developing.md, Fast paths).
namespace AsciiScan {

// Length of the leading run of bytes that a JSON string holds as they are:
// none is a control character, a quote or a backslash.
int plainJsonRun(const char *bytes, int size);

// Index of the last byte above 0x7f, or -1 for plain ASCII.
int lastNonAscii(const char *bytes, int size);

// Widens ASCII (or Latin-1) bytes to UTF-16 code units.
void widen(const char *bytes, int size, char16_t *units);

} // namespace AsciiScan

#endif // ASCIISCAN_H
