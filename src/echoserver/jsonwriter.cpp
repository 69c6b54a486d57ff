#include "jsonwriter.h"

#include "asciiscan.h"

#include <QJsonArray>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Thrown when the text would pass MaxTextSize, caught where writing began.
struct TooLarge
{
};

char hexDigit(uint value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

char16_t *escapeCodeUnit(char16_t *cursor, ushort unit)
{
    *cursor++ = '\\';
    *cursor++ = 'u';
    for (int shift = 12; shift >= 0; shift -= 4)
        *cursor++ = char16_t(hexDigit((unit >> shift) & 0xf));
    return cursor;
}

// The letter of a character's two-character escape in JSON, or 0 for none.
char shortEscape(ushort u)
{
    switch (u) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 0x8:
        return 'b';
    case 0xc:
        return 'f';
    case 0xa:
        return 'n';
    case 0xd:
        return 'r';
    case 0x9:
        return 't';
    default:
        return 0;
    }
}

// A quote, backslash or control character, escaped as Qt escapes it.
char16_t *escapeAscii(char16_t *cursor, ushort u)
{
    if (const char letter = shortEscape(u)) {
        *cursor++ = '\\';
        *cursor++ = char16_t(letter);
        return cursor;
    }
    return escapeCodeUnit(cursor, u);
}

} // namespace

JsonWriter::JsonWriter(Format format)
    : text(256, Qt::Uninitialized), compact(format == Format::Compact)
{
    end = reinterpret_cast<char16_t *>(text.data());
    limit = end + text.size();
}

QString JsonWriter::write(const QJsonObject &object, std::initializer_list<Member> members,
                          Format format)
{
    JsonWriter out(format);
    try {
        out.object(object, members);
        if (!out.compact)
            out.append('\n');
    } catch (const TooLarge &) {
        return QString();
    }
    out.text.resize(int(out.end - reinterpret_cast<char16_t *>(out.text.data())));
    return std::move(out.text);
}

// Room is claimed ahead and filled through a pointer: QString's own appends
// check for sharing and room on every call, and a reply is written in
// hundreds of small pieces.
char16_t *JsonWriter::claim(int room)
{
    if (limit - end < room)
        grow(room);
    return end;
}

void JsonWriter::grow(int room)
{
    char16_t *const begin = reinterpret_cast<char16_t *>(text.data());
    const int used = int(end - begin);
    if (room > MaxTextSize - used)
        throw TooLarge();
    text.resize(qMin(qMax(2 * text.size(), used + room), MaxTextSize));
    end = reinterpret_cast<char16_t *>(text.data()) + used;
    limit = reinterpret_cast<char16_t *>(text.data()) + text.size();
}

void JsonWriter::append(char c)
{
    *claim(1) = char16_t(c);
    ++end;
}

void JsonWriter::append(const char *ascii)
{
    appendAscii(ascii, int(std::strlen(ascii)));
}

void JsonWriter::appendAscii(const char *ascii, int size)
{
    AsciiScan::widen(ascii, size, claim(size));
    end += size;
}

void JsonWriter::indent()
{
    if (compact)
        return;
    const int spaces = 4 * depth;
    std::fill_n(claim(spaces), spaces, u' ');
    end += spaces;
}

void JsonWriter::separate()
{
    if (!first)
        append(compact ? "," : ",\n");
    first = false;
}

void JsonWriter::beginObject()
{
    append(compact ? "{" : "{\n");
    ++depth;
    first = true;
}

// Member keys set by the service are plain ASCII names: no escapes to look for.
void JsonWriter::key(QLatin1String key)
{
    separate();
    indent();
    char16_t *cursor = claim(key.size() + 4);
    *cursor++ = u'"';
    for (const char c : key)
        *cursor++ = char16_t(c);
    *cursor++ = u'"';
    *cursor++ = u':';
    if (!compact)
        *cursor++ = u' ';
    end = cursor;
}

void JsonWriter::key(const QString &key)
{
    separate();
    indent();
    append('"');
    string(reinterpret_cast<const char16_t *>(key.utf16()), key.size());
    append(compact ? "\":" : "\": ");
}

void JsonWriter::endObject()
{
    close('}');
}

// Ends an object or array: its last member on a line of its own, unless empty.
void JsonWriter::close(char bracket)
{
    if (!first && !compact)
        append('\n');
    --depth;
    indent();
    append(bracket);
    first = false;
}

void JsonWriter::value(int number)
{
    this->number(number);
}

void JsonWriter::value(const QString &text)
{
    append('"');
    string(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
    append('"');
}

void JsonWriter::value(QLatin1String ascii)
{
    append('"');
    asciiString(ascii.data(), ascii.size());
    append('"');
}

// A string body from bytes that are ASCII already: clean runs (a base64 photo
// is one) are copied whole, the few bytes between them escaped.
void JsonWriter::asciiString(const char *ascii, int size)
{
    const char *const stop = ascii + size;
    while (ascii != stop) {
        const int run = AsciiScan::plainJsonRun(ascii, int(stop - ascii));
        appendAscii(ascii, run);
        ascii += run;
        if (ascii == stop)
            break;
        end = escapeAscii(claim(6), uchar(*ascii++));
    }
}

// A string body: quotes, backslashes and control characters escaped, a lone
// surrogate as a \u escape (it has no UTF-8 form), everything else as it is.
// Written into room claimed up front: at most six units for each unit.
void JsonWriter::string(const char16_t *unit, int size)
{
    char16_t *cursor = claim(6 * size);
    const char16_t *const stop = unit + size;
    while (unit != stop) {
        // Runs of plain ASCII are copied in a tight loop.
        while (unit != stop && *unit >= 0x20 && *unit < 0x80 && *unit != '"' && *unit != '\\')
            *cursor++ = *unit++;
        if (unit == stop)
            break;
        const ushort u = *unit++;
        if (u < 0x80) {
            cursor = escapeAscii(cursor, u);
        } else if (!QChar::isSurrogate(u)) {
            *cursor++ = u;
        } else if (QChar::isHighSurrogate(u) && unit != stop && QChar::isLowSurrogate(*unit)) {
            *cursor++ = u;
            *cursor++ = *unit++;
        } else {
            cursor = escapeCodeUnit(cursor, u);
        }
    }
    end = cursor;
}

void JsonWriter::number(double value)
{
    if (!std::isfinite(value)) {
        append("null");
        return;
    }
    // Whole numbers up to 2^64 are written out in full, others in the shortest
    // form. Below 2^53 every whole number is exact: its digits are the integer's.
    const double magnitude = std::fabs(value);
    if (magnitude < 9007199254740992.0 && std::floor(magnitude) == magnitude) {
        // Digits written backwards into a small array: status codes are in
        // every reply, and a QByteArray for each would be an allocation.
        char digits[20];
        char *digit = std::end(digits);
        quint64 rest = quint64(magnitude);
        do {
            *--digit = char('0' + rest % 10);
            rest /= 10;
        } while (rest);
        if (value < 0)
            *--digit = '-';
        appendAscii(digit, int(std::end(digits) - digit));
        return;
    }
    const bool whole = std::floor(magnitude) == magnitude && magnitude <= 18446744073709551616.0;
    const QByteArray digits =
        QByteArray::number(value, whole ? 'f' : 'g', QLocale::FloatingPointShortest);
    appendAscii(digits.constData(), digits.size());
}

void JsonWriter::value(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        append(value.toBool() ? "true" : "false");
        break;
    case QJsonValue::Double:
        number(value.toDouble());
        break;
    case QJsonValue::String:
        this->value(value.toString());
        break;
    case QJsonValue::Array:
        array(value.toArray());
        break;
    case QJsonValue::Object:
        object(value.toObject(), {});
        break;
    default:
        append("null");
    }
}

void JsonWriter::array(const QJsonArray &array)
{
    append(compact ? "[" : "[\n");
    ++depth;
    first = true;
    for (const QJsonValue &element : array) {
        separate();
        indent();
        value(element);
    }
    close(']');
}

// The object's members in key order, the members set in place of its own.
void JsonWriter::object(const QJsonObject &object, std::initializer_list<Member> members)
{
    beginObject();
    auto member = members.begin();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString ownKey = it.key();
        // ASCII keys sort the same by UTF-16 code unit and by code point.
        for (; member != members.end() && QString::compare(member->key, ownKey) <= 0; ++member) {
            key(member->key);
            member->writeValue(*this);
        }
        if (member != members.begin() && (member - 1)->key == ownKey)
            continue; // set in place of the object's own
        key(ownKey);
        value(it.value());
    }
    for (; member != members.end(); ++member) {
        key(member->key);
        member->writeValue(*this);
    }
    endObject();
}
