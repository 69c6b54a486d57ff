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

// A character escaped as Qt escapes it: with JSON's two-character escape
// where there is one, otherwise as \uXXXX.
char16_t *escape(char16_t *cursor, ushort u)
{
    static const char shortEscaped[] = "\"\\\b\f\n\r\t";
    const char *const at = u && u < 0x80 ? std::strchr(shortEscaped, u) : nullptr;
    *cursor++ = '\\';
    if (at) {
        *cursor++ = char16_t("\"\\bfnrt"[at - shortEscaped]);
        return cursor;
    }
    *cursor++ = 'u';
    for (int shift = 12; shift >= 0; shift -= 4)
        *cursor++ = char16_t("0123456789abcdef"[(u >> shift) & 0xf]);
    return cursor;
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

// Starts the next member or element: after a comma, on a line of its own.
void JsonWriter::separate()
{
    if (!first)
        append(compact ? "," : ",\n");
    first = false;
    indent();
}

void JsonWriter::beginObject()
{
    append(compact ? "{" : "{\n");
    ++depth;
    first = true;
}

void JsonWriter::key(QLatin1String key)
{
    separate();
    value(key);
    append(compact ? ":" : ": ");
}

void JsonWriter::key(const QString &key)
{
    separate();
    value(key);
    append(compact ? ":" : ": ");
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

// Quotes, backslashes and control characters escaped, a lone surrogate as a
// \u escape (it has no UTF-8 form), everything else as it is. Written into
// room claimed up front: at most six units for each unit, and the quotes.
void JsonWriter::value(const QString &text)
{
    const char16_t *unit = reinterpret_cast<const char16_t *>(text.utf16());
    const char16_t *const stop = unit + text.size();
    char16_t *cursor = claim(6 * text.size() + 2);
    *cursor++ = '"';
    while (unit != stop) {
        // Runs of plain ASCII are copied in a tight loop.
        while (unit != stop && *unit >= 0x20 && *unit < 0x80 && *unit != '"' && *unit != '\\')
            *cursor++ = *unit++;
        if (unit == stop)
            break;
        const ushort u = *unit++;
        if (u >= 0x80 && !QChar::isSurrogate(u)) {
            *cursor++ = u;
        } else if (QChar::isHighSurrogate(u) && unit != stop && QChar::isLowSurrogate(*unit)) {
            *cursor++ = u;
            *cursor++ = *unit++;
        } else {
            cursor = escape(cursor, u);
        }
    }
    *cursor++ = '"';
    end = cursor;
}

// Bytes that are ASCII already: clean runs (a base64 photo is one) are copied
// whole, the few bytes between them escaped.
void JsonWriter::value(QLatin1String ascii)
{
    const char *bytes = ascii.data();
    const char *const stop = bytes + ascii.size();
    append('"');
    while (bytes != stop) {
        const int run = AsciiScan::plainJsonRun(bytes, int(stop - bytes));
        appendAscii(bytes, run);
        bytes += run;
        if (bytes != stop)
            end = escape(claim(6), uchar(*bytes++));
    }
    append('"');
}

void JsonWriter::value(double value)
{
    if (!std::isfinite(value)) {
        append("null");
        return;
    }
    // Whole numbers up to 2^64 are written out in full, others in the shortest
    // form. Below 2^53 every whole number is exact: its digits are the integer's.
    const double magnitude = std::fabs(value);
    const bool whole = std::floor(magnitude) == magnitude;
    const QByteArray digits =
        whole && magnitude < 9007199254740992.0
            ? QByteArray::number(qint64(value))
            : QByteArray::number(value, whole && magnitude <= 18446744073709551616.0 ? 'f' : 'g',
                                 QLocale::FloatingPointShortest);
    appendAscii(digits.constData(), digits.size());
}

void JsonWriter::value(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        append(value.toBool() ? "true" : "false");
        break;
    case QJsonValue::Double:
        this->value(value.toDouble());
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
