#include "jsonwriter.h"

#include "asciiscan.h"

#include <QJsonArray>
#include <QLocale>

#include <cmath>
#include <cstring>

namespace JsonWriter {
namespace {

// The text being written. Room is claimed ahead and filled through a pointer:
// QByteArray's own appends check for sharing and room on every call, and a
// reply is written in hundreds of small pieces.
class Buffer
{
public:
    explicit Buffer(int capacity) : bytes(capacity, Qt::Uninitialized)
    {
        end = bytes.data();
        limit = end + bytes.size();
    }

    // At least room bytes to write at the pointer returned; commit() the end.
    char *claim(int room)
    {
        if (limit - end < room)
            grow(room);
        return end;
    }
    void commit(char *written) { end = written; }

    void append(const char *data, int size)
    {
        std::memcpy(claim(size), data, size_t(size));
        end += size;
    }
    void append(int count, char c)
    {
        std::memset(claim(count), c, size_t(count));
        end += count;
    }
    Buffer &operator+=(char c)
    {
        *claim(1) = c;
        ++end;
        return *this;
    }
    Buffer &operator+=(const char *text)
    {
        append(text, int(std::strlen(text)));
        return *this;
    }
    Buffer &operator+=(const QByteArray &text)
    {
        append(text.constData(), text.size());
        return *this;
    }
    void reserve(int size) { claim(size - int(end - bytes.constData())); }

    QByteArray take()
    {
        bytes.resize(int(end - bytes.constData()));
        return std::move(bytes);
    }

private:
    void grow(int room)
    {
        const int used = int(end - bytes.constData());
        bytes.resize(qMax(2 * bytes.size(), used + room));
        end = bytes.data() + used;
        limit = bytes.data() + bytes.size();
    }

    QByteArray bytes;
    char *end;
    char *limit;
};

char hexDigit(uint value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

char *escapeCodeUnit(char *cursor, ushort unit)
{
    *cursor++ = '\\';
    *cursor++ = 'u';
    *cursor++ = hexDigit((unit >> 12) & 0xf);
    *cursor++ = hexDigit((unit >> 8) & 0xf);
    *cursor++ = hexDigit((unit >> 4) & 0xf);
    *cursor++ = hexDigit(unit & 0xf);
    return cursor;
}

// A JSON string body: quotes, backslashes and control characters escaped,
// everything else as UTF-8; a UTF-16 code unit that is no valid UTF-8 (a lone
// surrogate) as a \u escape. Written through a pointer into room reserved
// up front: at most six bytes for each code unit.
template <typename Char> void appendString(Buffer &out, const Char *unit, int size)
{
    char *cursor = out.claim(6 * size);
    const Char *const end = unit + size;
    while (unit != end) {
        // Runs of plain ASCII (a base64 photo is one) are copied in a tight loop.
        while (unit != end && *unit >= 0x20 && *unit < 0x80 && *unit != '"' && *unit != '\\')
            *cursor++ = char(*unit++);
        if (unit == end)
            break;
        const ushort u = ushort(*unit++);
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                *cursor++ = char(u);
                continue;
            }
            *cursor++ = '\\';
            switch (u) {
            case '"':
                *cursor++ = '"';
                break;
            case '\\':
                *cursor++ = '\\';
                break;
            case 0x8:
                *cursor++ = 'b';
                break;
            case 0xc:
                *cursor++ = 'f';
                break;
            case 0xa:
                *cursor++ = 'n';
                break;
            case 0xd:
                *cursor++ = 'r';
                break;
            case 0x9:
                *cursor++ = 't';
                break;
            default:
                *cursor++ = 'u';
                *cursor++ = '0';
                *cursor++ = '0';
                *cursor++ = hexDigit(u >> 4);
                *cursor++ = hexDigit(u & 0xf);
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

void appendString(Buffer &out, const QString &text)
{
    appendString(out, text.utf16(), text.size());
}

void appendString(Buffer &out, QLatin1String text)
{
    appendString(out, reinterpret_cast<const uchar *>(text.data()), text.size());
}

void appendNumber(Buffer &out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Whole numbers up to 2^64 are written out in full, others in the shortest
    // form. Below 2^53 every whole number is exact: its digits are the integer's.
    const double magnitude = std::fabs(value);
    if (magnitude < 9007199254740992.0 && std::floor(magnitude) == magnitude) {
        out += QByteArray::number(qint64(value));
        return;
    }
    const bool whole = std::floor(magnitude) == magnitude && magnitude <= 18446744073709551616.0;
    out += QByteArray::number(value, whole ? 'f' : 'g', QLocale::FloatingPointShortest);
}

void appendValue(Buffer &out, const QJsonValue &value, int indent, bool compact);

// Bytes that are ASCII already: clean runs (a base64 photo is one) are copied whole.
void appendAscii(Buffer &out, QLatin1String ascii)
{
    const char *p = ascii.data();
    const char *const end = p + ascii.size();
    while (p != end) {
        const int run = AsciiScan::plainJsonRun(p, int(end - p));
        out.append(p, run);
        p += run;
        if (p == end)
            break;
        appendString(out, QLatin1String(p, 1));
        ++p;
    }
}

void appendIndent(Buffer &out, int indent)
{
    out.append(4 * indent, ' ');
}

template <typename Key> void appendKey(Buffer &out, const Key &key, int indent, bool compact)
{
    appendIndent(out, indent);
    out += '"';
    appendString(out, key);
    out += compact ? "\":" : "\": ";
}

// Members at the given indent; members override the object's own of the same key.
void appendCard(Buffer &out, const CardText &card, int indent, bool compact);

void appendMemberValue(Buffer &out, const Member &member, int indent, bool compact)
{
    if (member.card)
        appendCard(out, *member.card, indent, compact);
    else
        appendValue(out, member.value, indent, compact);
}

void appendObjectContent(Buffer &out, const QJsonObject &object,
                         std::initializer_list<Member> members, int indent, bool compact)
{
    bool first = true;
    auto separate = [&] {
        if (!first)
            out += compact ? "," : ",\n";
        first = false;
    };
    auto member = members.begin();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        // ASCII keys sort the same by UTF-16 code unit and by code point.
        while (member != members.end() && QString::compare(member->key, key) < 0) {
            separate();
            appendKey(out, member->key, indent, compact);
            appendMemberValue(out, *member, indent, compact);
            ++member;
        }
        separate();
        if (member != members.end() && member->key == key) {
            appendKey(out, key, indent, compact);
            appendMemberValue(out, *member, indent, compact);
            ++member;
            continue;
        }
        appendKey(out, key, indent, compact);
        appendValue(out, it.value(), indent, compact);
    }
    for (; member != members.end(); ++member) {
        separate();
        appendKey(out, member->key, indent, compact);
        appendMemberValue(out, *member, indent, compact);
    }
    if (!first && !compact)
        out += '\n';
}

void appendArrayContent(Buffer &out, const QJsonArray &array, int indent, bool compact)
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

void appendValue(Buffer &out, const QJsonValue &value, int indent, bool compact)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double:
        appendNumber(out, value.toDouble());
        break;
    case QJsonValue::String:
        out += '"';
        appendString(out, value.toString());
        out += '"';
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
void appendCard(Buffer &out, const CardText &card, int indent, bool compact)
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
        out += '"';
        if (text)
            appendString(out, *text);
        else
            appendAscii(out, ascii);
        out += '"';
    });
    if (!first && !compact)
        out += '\n';
    appendIndent(out, indent);
    out += '}';
}

} // namespace

QByteArray object(const QJsonObject &object, std::initializer_list<Member> members, Format format)
{
    const bool compact = format == Format::Compact;
    Buffer out(256);
    out += compact ? "{" : "{\n";
    appendObjectContent(out, object, members, compact ? 0 : 1, compact);
    out += compact ? "}" : "}\n";
    return out.take();
}

} // namespace JsonWriter
