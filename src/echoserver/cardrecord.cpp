#include "cardrecord.h"

#include "asciiscan.h"

#include <QJsonValue>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The three kinds of record, told apart by the first character of field 0.
struct Kind
{
    QChar letter;
    const char *idType; // fixed per kind, not read from the record
};
const std::array<Kind, 3> kKinds = {
    {{QLatin1Char('A'), ""}, {QLatin1Char('J'), "J"}, {QLatin1Char('I'), "I"}}};

// Every kind yields the same twenty keys, so a client always gets one shape.
// Each key is fed from one record position per kind; -1 leaves it empty.
struct Key
{
    const char *name;
    std::array<int, 3> position; // for kinds A, J, I
};
// clang-format off
constexpr std::array<Key, 20> kKeys = {{
    //  key               A   J   I
    {"idType",         {-1, -1, -1}},
    {"name",           { 1,  1, -1}},
    {"chineseName",    {-1, -1,  1}},
    {"englishName",    {-1, -1,  2}},
    {"gender",         { 3,  3,  3}},
    {"issueOrg",       {10, 10, 10}},
    {"address",        { 8,  8, -1}},
    {"effectDate",     {11, 11, 11}},
    {"expireDate",     {12, 12, 12}},
    {"birthday",       { 7,  7,  7}},
    {"idNum",          { 9,  9,  9}},
    {"passNum",        {-1,  6, -1}},
    {"nation",         { 5, -1, -1}},
    {"nationCode",     {-1, -1,  5}},
    {"dn",             {-1, -1, -1}},
    {"photo",          {14, 14, 14}},
    {"photoLen",       {-1, -1, -1}},
    {"idCardVersion",  {-1, -1, 13}},
    {"passNo",         {-1, 13, -1}},
    {"photoMagick",    {-1, -1, -1}},
}};
// clang-format on

constexpr int highestPosition()
{
    int highest = -1;
    for (const Key &key : kKeys) {
        for (int position : key.position)
            highest = position > highest ? position : highest;
    }
    return highest;
}

// Index of the kind whose letter field 0 starts with, or -1 for an
// unrecognised record (an empty field 0 starts with QChar()).
int kindOf(QChar first)
{
    for (size_t i = 0; i < kKinds.size(); ++i) {
        if (first == kKinds[i].letter)
            return int(i);
    }
    return -1;
}

// Indices into kKeys in ascending order of their keys: the order in which Qt
// writes an object's members.
const std::array<size_t, 20> &keyOrder()
{
    static const auto order = [] {
        std::array<size_t, 20> indices{};
        for (size_t i = 0; i < indices.size(); ++i)
            indices[i] = i;
        std::sort(indices.begin(), indices.end(),
                  [](size_t a, size_t b) { return std::strcmp(kKeys[a].name, kKeys[b].name) < 0; });
        return indices;
    }();
    return order;
}

} // namespace

QByteArray cardRecordBytes(const char *buffer, int size)
{
    const void *nul = std::memchr(buffer, '\0', static_cast<size_t>(size));
    const int length = nul ? static_cast<int>(static_cast<const char *>(nul) - buffer) : size;
    return QByteArray(buffer, length);
}

namespace {

// Looked up once: finding a codec by name compares it with every codec's names.
QTextCodec *gb18030()
{
    static QTextCodec *const codec = QTextCodec::codecForName("GB18030");
    return codec;
}

// Where the codec's part of a record ends: just after the first colon after
// the last byte above 0x7f (a colon is never inside a multi-byte sequence, so
// the codec has finished every character before it); 0 for a plain ASCII record.
int asciiTailStart(const QByteArray &record)
{
    const char *const bytes = record.constData();
    const int last = AsciiScan::lastNonAscii(bytes, record.size());
    if (last < 0)
        return 0;
    const void *colon = std::memchr(bytes + last, ':', size_t(record.size() - last));
    return colon ? int(static_cast<const char *>(colon) - bytes) + 1 : record.size();
}

} // namespace

CardText CardText::decode(const QByteArray &record)
{
    static_assert(highestPosition() < kFieldsRead, "every field a kind reads is kept");
    CardText card;
    card.record = record;
    const int split = asciiTailStart(record);
    if (split > 0) {
        const QString text = gb18030()->toUnicode(record.constData(), split);
        card.textFields = text.split(QLatin1Char(':'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        // The codec's part ends with the colon before the first tail field.
        if (split < record.size())
            card.textFields.removeLast();
    }
    if (split < record.size() || split == 0)
        card.splitAsciiTail(split);

    QChar first;
    if (!card.textFields.isEmpty()) {
        if (!card.textFields.first().isEmpty())
            first = card.textFields.first().at(0);
    } else if (card.asciiFields[0].size > 0) {
        first = QLatin1Char(record.at(card.asciiFields[0].start));
    }
    card.kind = kindOf(first);
    return card;
}

void CardText::splitAsciiTail(int from)
{
    const char *const bytes = record.constData();
    const int size = record.size();
    while (textFields.size() + asciiFieldCount < kFieldsRead) {
        const void *colon = std::memchr(bytes + from, ':', size_t(size - from));
        const int end = colon ? int(static_cast<const char *>(colon) - bytes) : size;
        asciiFields[size_t(asciiFieldCount++)] = {from, end - from};
        if (!colon)
            return;
        from = end + 1;
    }
}

const int *CardText::positions(int kind)
{
    // For each kind, each key in ascending order: its field, -1 empty, -2 idType.
    static const auto table = [] {
        std::array<std::array<int, 20>, 3> result{};
        for (size_t k = 0; k < 3; ++k) {
            for (size_t i = 0; i < 20; ++i) {
                const Key &key = kKeys[keyOrder()[i]];
                result[k][i] = std::strcmp(key.name, "idType") == 0 ? -2 : key.position[k];
            }
        }
        return result;
    }();
    return table[size_t(kind)].data();
}

const char *const *CardText::sortedKeys()
{
    static const auto keys = [] {
        std::array<const char *, 20> names{};
        for (size_t i = 0; i < 20; ++i)
            names[i] = kKeys[keyOrder()[i]].name;
        return names;
    }();
    return keys.data();
}

const char *CardText::idType(int kind)
{
    return kKinds[size_t(kind)].idType;
}

QJsonObject CardText::toJsonObject() const
{
    QJsonObject card;
    forEachMember([&card](QLatin1String key, const QString *text, QLatin1String ascii) {
        card.insert(key, text ? *text : QString(ascii));
    });
    return card;
}

QJsonObject decodeCardRecord(const QByteArray &record)
{
    return CardText::decode(record).toJsonObject();
}
