#include "jsonreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QString>
#include <QVarLengthArray>
#include <QVector>

#include <algorithm>
#include <cstring>
#include <utility>

namespace JsonReader {
namespace {

// Index of the quote that closes the string opening at start, or -1.
int stringEnd(const QByteArray &text, int start)
{
    for (int i = start + 1; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            return i;
    }
    return -1;
}

// A key as Qt compares it. Most keys hold no escape, and their bytes are their
// text; the rare key with one is decoded by Qt itself, as the one string of an
// array (an array cannot repeat a key), so the escape rules are exactly Qt's.
// A key with a broken escape makes the text unparsable whatever it decodes to.
QString decodeKey(const QByteArray &text, int open, int close)
{
    const char *const raw = text.constData() + open + 1;
    const int size = close - open - 1;
    if (!std::memchr(raw, '\\', size_t(size)))
        return QString::fromUtf8(raw, size); // NUL bytes included
    const QByteArray array = '[' + text.mid(open, size + 2) + ']';
    return QJsonDocument::fromJson(array).array().at(0).toString();
}

struct Member
{
    int start;    // the key's opening quote
    int close;    // the key's closing quote
    int end = -1; // the comma after its value
};

struct Container
{
    bool object;
    bool expectKey = false;
    // Most objects hold a few members: no allocation for them.
    QVarLengthArray<Member, 8> members;
};

// An earlier member of a repeated key: the text from start up to next (where
// the following member starts) leaves out the member, which ends at end, and
// the comma after it.
struct Drop
{
    int start;
    int end;
    int next;
    bool operator<(const Drop &other) const { return start < other.start; }
};

// Qt's parser refuses deeper nesting.
constexpr int NestingLimit = 1024;
// How deep repeated keys inside repeated members are followed; text that goes
// deeper is answered as unparsable rather than checked at quadratic cost.
constexpr int RepeatLimit = 32;

// The earlier members of repeated keys in every object, in text order; false
// when brackets do not balance, a string does not end, nesting goes deeper
// than Qt's parser allows (no text that Qt accepts does that), or a key holds
// a raw NUL byte.
bool findRepeatedKeys(const QByteArray &utf8, QVector<Drop> &drops)
{
    QVarLengthArray<Container, 4> stack;
    // Keys are decoded only where an object has more than one to compare.
    auto closeObject = [&drops, &utf8](const QVarLengthArray<Member, 8> &members) {
        if (members.size() < 2)
            return;
        QSet<QString> later;
        for (int i = members.size() - 1; i >= 0; --i) {
            const QString key = decodeKey(utf8, members[i].start, members[i].close);
            if (later.contains(key))
                drops.append({members[i].start, members[i].end, members[i + 1].start});
            else
                later.insert(key);
        }
    };

    for (int i = 0; i < utf8.size(); ++i) {
        switch (utf8.at(i)) {
        case '"': {
            const int close = stringEnd(utf8, i);
            if (close < 0)
                return false;
            if (!stack.isEmpty() && stack.last().object && stack.last().expectKey) {
                // A raw NUL byte in a key is no JSON, and Qt's parser compares
                // such keys inconsistently: refused, like any broken text.
                if (std::memchr(utf8.constData() + i, '\0', size_t(close - i)))
                    return false;
                stack.last().members.append({i, close});
                stack.last().expectKey = false;
            }
            i = close;
            break;
        }
        case '{':
        case '[':
            if (stack.size() == NestingLimit)
                return false;
            stack.append({utf8.at(i) == '{', utf8.at(i) == '{', {}});
            break;
        case ',':
            if (!stack.isEmpty() && stack.last().object) {
                if (!stack.last().members.isEmpty() && stack.last().members.last().end < 0)
                    stack.last().members.last().end = i;
                stack.last().expectKey = true;
            }
            break;
        case '}':
            if (stack.isEmpty() || !stack.last().object)
                return false;
            closeObject(stack.last().members);
            stack.removeLast();
            break;
        case ']':
            if (stack.isEmpty() || stack.last().object)
                return false;
            stack.removeLast();
            break;
        default:
            break;
        }
    }
    std::sort(drops.begin(), drops.end());
    return stack.isEmpty();
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Qt's parse of the text with the earlier members of repeated keys left out,
// each checked on its own as an object of that one member. False for text
// that Qt refuses.
bool parse(const QByteArray &utf8, QJsonObject *object, int depth)
{
    QVector<Drop> drops;
    if (!findRepeatedKeys(utf8, drops) || (!drops.isEmpty() && depth == RepeatLimit))
        return false;

    QByteArray kept; // only when something is left out: most texts are not copied
    int from = 0;
    for (const Drop &drop : std::as_const(drops)) {
        if (drop.start < from)
            continue; // inside a member already left out, and checked with it
        // Between the member and the next one: white space and one comma.
        for (int i = drop.end + 1; i < drop.next; ++i) {
            if (!isJsonSpace(utf8.at(i)))
                return false;
        }
        const QByteArray member = '{' + utf8.mid(drop.start, drop.end - drop.start) + '}';
        if (!parse(member, nullptr, depth + 1))
            return false;
        kept.append(utf8.constData() + from, drop.start - from);
        from = drop.next;
    }
    if (!drops.isEmpty())
        kept.append(utf8.constData() + from, utf8.size() - from);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(drops.isEmpty() ? utf8 : kept, &error);
    if (error.error != QJsonParseError::NoError)
        return false;
    if (object)
        *object = document.object();
    return true;
}

} // namespace

QJsonObject parseObject(const QByteArray &utf8)
{
    QJsonObject object;
    return parse(utf8, &object, 0) ? object : QJsonObject();
}

} // namespace JsonReader
