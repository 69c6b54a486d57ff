#include "jsonreader.h"

#include <QJsonDocument>
#include <QSet>
#include <QString>
#include <QVector>

#include <algorithm>

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

// A key as Qt compares it: the escapes of the string decoded, as UTF-16.
QString decodeKey(const QByteArray &text, int open, int close)
{
    const QByteArray raw = text.mid(open + 1, close - open - 1);
    if (!raw.contains('\\'))
        return QString::fromUtf8(raw);
    QString key;
    int plain = 0;
    for (int i = 0; i < raw.size(); ++i) {
        if (raw.at(i) != '\\')
            continue;
        key += QString::fromUtf8(raw.constData() + plain, i - plain);
        const char escape = i + 1 < raw.size() ? raw.at(i + 1) : '\0';
        switch (escape) {
        case 'b':
            key += QChar(0x8);
            break;
        case 'f':
            key += QChar(0xc);
            break;
        case 'n':
            key += QChar(0xa);
            break;
        case 'r':
            key += QChar(0xd);
            break;
        case 't':
            key += QChar(0x9);
            break;
        case 'u':
            key += QChar(ushort(raw.mid(i + 2, 4).toUShort(nullptr, 16)));
            i += 4;
            break;
        default:
            key += QLatin1Char(escape);
            break;
        }
        ++i;
        plain = i + 1;
    }
    key += QString::fromUtf8(raw.constData() + plain, raw.size() - plain);
    return key;
}

struct Member
{
    QString key;
    int start; // the key's opening quote
};

struct Container
{
    bool object;
    bool expectKey = false;
    QVector<Member> members;
};

} // namespace

QByteArray withoutRepeatedKeys(const QByteArray &utf8)
{
    QVector<Container> stack;
    QVector<QPair<int, int>> drop; // [from, to) spans of text to leave out

    // The members of an object that has closed: every member of a repeated
    // key but the last goes, up to where the next member starts.
    auto closeObject = [&drop](const QVector<Member> &members) {
        if (members.size() < 2)
            return;
        QSet<QString> later;
        for (int i = members.size() - 1; i >= 0; --i) {
            if (later.contains(members[i].key))
                drop.append({members[i].start, members[i + 1].start});
            else
                later.insert(members[i].key);
        }
    };

    for (int i = 0; i < utf8.size(); ++i) {
        switch (utf8.at(i)) {
        case '"': {
            const int close = stringEnd(utf8, i);
            if (close < 0)
                return utf8;
            if (!stack.isEmpty() && stack.last().object && stack.last().expectKey) {
                stack.last().members.append({decodeKey(utf8, i, close), i});
                stack.last().expectKey = false;
            }
            i = close;
            break;
        }
        case '{':
            stack.append({true, true, {}});
            break;
        case '[':
            stack.append({false, false, {}});
            break;
        case ',':
            if (!stack.isEmpty() && stack.last().object)
                stack.last().expectKey = true;
            break;
        case '}':
            if (stack.isEmpty() || !stack.last().object)
                return utf8;
            closeObject(stack.last().members);
            stack.removeLast();
            break;
        case ']':
            if (stack.isEmpty() || stack.last().object)
                return utf8;
            stack.removeLast();
            break;
        default:
            break;
        }
    }
    if (!stack.isEmpty() || drop.isEmpty())
        return utf8;

    // Inner objects close first; put the spans in text order. They never overlap.
    std::sort(drop.begin(), drop.end());
    QByteArray kept;
    kept.reserve(utf8.size());
    int from = 0;
    for (const auto &span : qAsConst(drop)) {
        if (span.first < from)
            continue; // inside a member already left out
        kept.append(utf8.constData() + from, span.first - from);
        from = span.second;
    }
    kept.append(utf8.constData() + from, utf8.size() - from);
    return kept;
}

QJsonObject parseObject(const QByteArray &utf8)
{
    return QJsonDocument::fromJson(withoutRepeatedKeys(utf8)).object();
}

} // namespace JsonReader
