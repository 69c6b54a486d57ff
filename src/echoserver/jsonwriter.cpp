#include "jsonwriter.h"

#include "asciiscan.h"

#include <QJsonArray>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace JsonWriter {
namespace {

// Thrown by a buffer asked to grow past MaxTextSize, caught where writing began.
struct TooLarge
{
};

// The text being written, as UTF-8 bytes (QByteArray) or as UTF-16 code
// units (QString). Room is claimed ahead and filled through a pointer: the
// containers' own appends check for sharing and room on every call, and a
// reply is written in hundreds of small pieces.
template <typename Text> class Buffer
{
public:
    // char for UTF-8, char16_t for UTF-16.
    using Unit = std::conditional_t<std::is_same_v<Text, QString>, char16_t, char>;

    explicit Buffer(int capacity) : text(capacity, Qt::Uninitialized)
    {
        end = begin();
        limit = end + text.size();
    }

    // At least room units to write at the pointer returned; commit() the end.
    Unit *claim(int room)
    {
        if (limit - end < room)
            grow(room);
        return end;
    }
    void commit(Unit *written) { end = written; }

    // ASCII text, widened for UTF-16.
    void appendAscii(const char *ascii, int size)
    {
        Unit *cursor = claim(size);
        if constexpr (std::is_same_v<Unit, char>)
            std::memcpy(cursor, ascii, size_t(size));
        else
            AsciiScan::widen(ascii, size, cursor);
        end += size;
    }
    void append(int count, char c)
    {
        std::fill_n(claim(count), count, Unit(c));
        end += count;
    }
    Buffer &operator+=(char c)
    {
        *claim(1) = Unit(c);
        ++end;
        return *this;
    }
    Buffer &operator+=(const char *ascii)
    {
        appendAscii(ascii, int(std::strlen(ascii)));
        return *this;
    }
    Buffer &operator+=(const QByteArray &ascii)
    {
        appendAscii(ascii.constData(), ascii.size());
        return *this;
    }

    Text take()
    {
        text.resize(int(end - begin()));
        return std::move(text);
    }

private:
    Unit *begin() { return reinterpret_cast<Unit *>(text.data()); }

    void grow(int room)
    {
        const int used = int(end - begin());
        if (room > MaxTextSize - used)
            throw TooLarge();
        text.resize(qMin(qMax(2 * text.size(), used + room), MaxTextSize));
        end = begin() + used;
        limit = begin() + text.size();
    }

    Text text;
    Unit *end;
    Unit *limit;
};

char hexDigit(uint value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

template <typename Unit> Unit *escapeCodeUnit(Unit *cursor, ushort unit)
{
    *cursor++ = '\\';
    *cursor++ = 'u';
    *cursor++ = hexDigit((unit >> 12) & 0xf);
    *cursor++ = hexDigit((unit >> 8) & 0xf);
    *cursor++ = hexDigit((unit >> 4) & 0xf);
    *cursor++ = hexDigit(unit & 0xf);
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

// A JSON string body: quotes, backslashes and control characters escaped,
// everything else as UTF-8 or UTF-16; a UTF-16 code unit that is no valid
// UTF-8 (a lone surrogate) as a \u escape. Written through a pointer into room
// reserved up front: at most six units for each code unit.
template <typename Text, typename Char>
void appendString(Buffer<Text> &out, const Char *unit, int size)
{
    using Unit = typename Buffer<Text>::Unit;
    constexpr bool utf16 = std::is_same_v<Unit, char16_t>;
    Unit *cursor = out.claim(6 * size);
    const Char *const end = unit + size;
    while (unit != end) {
        // Runs of plain ASCII (a base64 photo is one) are copied in a tight loop.
        while (unit != end && *unit >= 0x20 && *unit < 0x80 && *unit != '"' && *unit != '\\')
            *cursor++ = Unit(*unit++);
        if (unit == end)
            break;
        const ushort u = ushort(*unit++);
        if (u < 0x80) {
            // A quote, a backslash or a control character: the loop above took the rest.
            if (const char letter = shortEscape(u)) {
                *cursor++ = '\\';
                *cursor++ = letter;
            } else {
                cursor = escapeCodeUnit(cursor, u);
            }
        } else if constexpr (utf16) {
            if (!QChar::isSurrogate(u)) {
                *cursor++ = Unit(u);
            } else if (QChar::isHighSurrogate(u) && unit != end &&
                       QChar::isLowSurrogate(ushort(*unit))) {
                *cursor++ = Unit(u);
                *cursor++ = Unit(*unit++);
            } else {
                cursor = escapeCodeUnit(cursor, u);
            }
        } else if (u < 0x800) {
            *cursor++ = char(0xc0 | (u >> 6));
            *cursor++ = char(0x80 | (u & 0x3f));
        } else if (!QChar::isSurrogate(u)) {
            *cursor++ = char(0xe0 | (u >> 12));
            *cursor++ = char(0x80 | ((u >> 6) & 0x3f));
            *cursor++ = char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && unit != end &&
                   QChar::isLowSurrogate(ushort(*unit))) {
            const uint ucs4 = QChar::surrogateToUcs4(u, ushort(*unit++));
            *cursor++ = char(0xf0 | (ucs4 >> 18));
            *cursor++ = char(0x80 | ((ucs4 >> 12) & 0x3f));
            *cursor++ = char(0x80 | ((ucs4 >> 6) & 0x3f));
            *cursor++ = char(0x80 | (ucs4 & 0x3f));
        } else {
            cursor = escapeCodeUnit(cursor, u);
        }
    }
    out.commit(cursor);
}

template <typename Text> void appendString(Buffer<Text> &out, const QString &text)
{
    appendString(out, text.utf16(), text.size());
}

template <typename Text> void appendQuoted(Buffer<Text> &out, const QString &text)
{
    out += '"';
    appendString(out, text);
    out += '"';
}

template <typename Text> void appendString(Buffer<Text> &out, QLatin1String text)
{
    appendString(out, reinterpret_cast<const uchar *>(text.data()), text.size());
}

template <typename Text> void appendNumber(Buffer<Text> &out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Whole numbers up to 2^64 are written out in full, others in the shortest
    // form. Below 2^53 every whole number is exact: its digits are the integer's.
    const double magnitude = std::fabs(value);
    if (magnitude < 9007199254740992.0 && std::floor(magnitude) == magnitude) {
        // Digits written backwards into a small array: status codes are in
        // every reply, and a QByteArray for each would be an allocation.
        char digits[20];
        char *first = std::end(digits);
        quint64 rest = quint64(magnitude);
        do {
            *--first = char('0' + rest % 10);
            rest /= 10;
        } while (rest);
        if (value < 0)
            *--first = '-';
        out.appendAscii(first, int(std::end(digits) - first));
        return;
    }
    const bool whole = std::floor(magnitude) == magnitude && magnitude <= 18446744073709551616.0;
    out += QByteArray::number(value, whole ? 'f' : 'g', QLocale::FloatingPointShortest);
}

template <typename Text>
void appendValue(Buffer<Text> &out, const QJsonValue &value, int indent, bool compact);

// A string body from bytes that are ASCII already: clean runs (a base64 photo
// is one) are copied whole, the few bytes between them escaped.
template <typename Text> void appendEscapedAscii(Buffer<Text> &out, QLatin1String ascii)
{
    const char *p = ascii.data();
    const char *const end = p + ascii.size();
    while (p != end) {
        const int run = AsciiScan::plainJsonRun(p, int(end - p));
        out.appendAscii(p, run);
        p += run;
        if (p == end)
            break;
        appendString(out, QLatin1String(p, 1));
        ++p;
    }
}

template <typename Text> void appendIndent(Buffer<Text> &out, int indent)
{
    out.append(4 * indent, ' ');
}

template <typename Text, typename Key>
void appendKey(Buffer<Text> &out, const Key &key, int indent, bool compact)
{
    appendIndent(out, indent);
    out += '"';
    appendString(out, key);
    out += compact ? "\":" : "\": ";
}

// Members at the given indent; members override the object's own of the same key.
template <typename Text>
void appendCard(Buffer<Text> &out, const CardText &card, int indent, bool compact);

template <typename Text>
void appendMemberValue(Buffer<Text> &out, const Member &member, int indent, bool compact)
{
    if (member.card) {
        appendCard(out, *member.card, indent, compact);
    } else if (member.text) {
        appendQuoted(out, *member.text);
    } else {
        appendValue(out, member.value, indent, compact);
    }
}

template <typename Text>
void appendObjectContent(Buffer<Text> &out, const QJsonObject &object,
                         std::initializer_list<Member> members, int indent, bool compact)
{
    bool first = true;
    auto separate = [&] {
        if (!first)
            out += compact ? "," : ",\n";
        first = false;
    };
    auto member = members.begin();
    auto writeMember = [&] {
        separate();
        appendKey(out, member->key, indent, compact);
        appendMemberValue(out, *member, indent, compact);
        ++member;
    };
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        // ASCII keys sort the same by UTF-16 code unit and by code point.
        while (member != members.end() && QString::compare(member->key, key) < 0)
            writeMember();
        if (member != members.end() && member->key == key) {
            writeMember(); // set in place of the object's own
            continue;
        }
        separate();
        appendKey(out, key, indent, compact);
        appendValue(out, it.value(), indent, compact);
    }
    while (member != members.end())
        writeMember();
    if (!first && !compact)
        out += '\n';
}

template <typename Text>
void appendArrayContent(Buffer<Text> &out, const QJsonArray &array, int indent, bool compact)
{
    bool first = true;
    for (const QJsonValue &value : array) {
        if (!first)
            out += compact ? "," : ",\n";
        first = false;
        appendIndent(out, indent);
        appendValue(out, value, indent, compact);
    }
    if (!first && !compact)
        out += '\n';
}

template <typename Text>
void appendValue(Buffer<Text> &out, const QJsonValue &value, int indent, bool compact)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double:
        appendNumber(out, value.toDouble());
        break;
    case QJsonValue::String:
        appendQuoted(out, value.toString());
        break;
    case QJsonValue::Array:
        out += compact ? "[" : "[\n";
        appendArrayContent(out, value.toArray(), compact ? indent : indent + 1, compact);
        appendIndent(out, indent);
        out += ']';
        break;
    case QJsonValue::Object:
        out += compact ? "{" : "{\n";
        appendObjectContent(out, value.toObject(), {}, compact ? indent : indent + 1, compact);
        appendIndent(out, indent);
        out += '}';
        break;
    default:
        out += "null";
    }
}

// The card object as Qt would write it: twenty string members in key order.
template <typename Text>
void appendCard(Buffer<Text> &out, const CardText &card, int indent, bool compact)
{
    const int inner = compact ? indent : indent + 1;
    out += compact ? "{" : "{\n";
    bool first = true;
    // Text decoded from two GB18030 bytes takes three in UTF-8; keys and
    // indents take a few hundred.
    out.claim(card.recordSize() + card.recordSize() / 2 + 1024);
    card.forEachMember([&](QLatin1String key, const QString *text, QLatin1String ascii) {
        if (!first)
            out += compact ? "," : ",\n";
        first = false;
        appendKey(out, key, inner, compact);
        if (text) {
            appendQuoted(out, *text);
        } else {
            out += '"';
            appendEscapedAscii(out, ascii);
            out += '"';
        }
    });
    if (!first && !compact)
        out += '\n';
    appendIndent(out, indent);
    out += '}';
}

template <typename Text>
Text write(const QJsonObject &object, std::initializer_list<Member> members, Format format)
{
    const bool compact = format == Format::Compact;
    Buffer<Text> out(256);
    try {
        out += compact ? "{" : "{\n";
        appendObjectContent(out, object, members, compact ? 0 : 1, compact);
        out += compact ? "}" : "}\n";
    } catch (const TooLarge &) {
        return Text();
    }
    return out.take();
}

} // namespace

QByteArray object(const QJsonObject &object, std::initializer_list<Member> members, Format format)
{
    return write<QByteArray>(object, members, format);
}

QString text(const QJsonObject &object, std::initializer_list<Member> members, Format format)
{
    return write<QString>(object, members, format);
}

} // namespace JsonWriter
