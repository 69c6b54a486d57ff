#include "cardrecord.h"

#include "asciiscan.h"
#include "jsonwriter.h"
#include "textcodec.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// The three kinds of record, told apart by the first character of field 0,
// with the "idType" text each gives (fixed per kind, not read from the record).
constexpr char kLetters[] = {'A', 'J', 'I'};
constexpr const char *kIdTypes[] = {"", "J", "I"};

// Every kind yields the same twenty keys, so a client always gets one shape.
// Each key is fed from one record field per kind: Empty leaves it empty,
// IdType gives the kind's fixed text. The keys are in ascending order, the
// order in which Qt writes an object's members.
constexpr int Empty = -1;
constexpr int IdType = -2;
struct Key
{
    const char *name;
    int field[3]; // for kinds A, J, I
};
// clang-format off
constexpr Key kKeys[] = {
    //  key                 A       J       I
    {"address",       {     8,      8,  Empty}},
    {"birthday",      {     7,      7,      7}},
    {"chineseName",   { Empty,  Empty,      1}},
    {"dn",            { Empty,  Empty,  Empty}},
    {"effectDate",    {    11,     11,     11}},
    {"englishName",   { Empty,  Empty,      2}},
    {"expireDate",    {    12,     12,     12}},
    {"gender",        {     3,      3,      3}},
    {"idCardVersion", { Empty,  Empty,     13}},
    {"idNum",         {     9,      9,      9}},
    {"idType",        {IdType, IdType, IdType}},
    {"issueOrg",      {    10,     10,     10}},
    {"name",          {     1,      1,  Empty}},
    {"nation",        {     5,  Empty,  Empty}},
    {"nationCode",    { Empty,  Empty,      5}},
    {"passNo",        { Empty,     13,  Empty}},
    {"passNum",       { Empty,      6,  Empty}},
    {"photo",         {    14,     14,     14}},
    {"photoLen",      { Empty,  Empty,  Empty}},
    {"photoMagick",   { Empty,  Empty,  Empty}},
};
// clang-format on

// What tells who the holder is: masked in a redacted log, the photo left out.
bool isHolderKey(const char *name)
{
    static const char *const holderKeys[] = {"address",     "birthday", "chineseName",
                                             "englishName", "idNum",    "name",
                                             "passNo",      "passNum",  "photo"};
    return std::any_of(std::begin(holderKeys), std::end(holderKeys),
                       [name](const char *key) { return std::strcmp(key, name) == 0; });
}

constexpr bool keysAscend()
{
    for (size_t k = 1; k < std::size(kKeys); ++k) {
        const char *a = kKeys[k - 1].name;
        const char *b = kKeys[k].name;
        while (*a && *a == *b)
            ++a, ++b;
        if (*a >= *b)
            return false;
    }
    return true;
}
static_assert(std::size(kKeys) == 20 && keysAscend(), "twenty keys, in the order Qt writes them");

constexpr int highestField()
{
    int highest = 0;
    for (const Key &key : kKeys) {
        for (int field : key.field)
            highest = field > highest ? field : highest;
    }
    return highest;
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

QByteArray cardRecordBytes(const char *buffer, int size)
{
    const void *nul = std::memchr(buffer, '\0', size_t(size));
    return QByteArray(buffer, nul ? int(static_cast<const char *>(nul) - buffer) : size);
}

CardText CardText::decode(const QByteArray &record)
{
    static_assert(highestField() < kFieldsRead, "every field a kind reads is kept");
    CardText card;
    card.record = record;
    const int split = asciiTailStart(record);
    if (split > 0) {
        // Looked up once: finding a codec by name compares it with every codec's names.
        const QString text = TextCodec::fromGb18030(record.constData(), split);
        card.textFields = text.split(QLatin1Char(':'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        // The codec's part ends with the colon before the first tail field.
        if (split < record.size())
            card.textFields.removeLast();
    }
    if (split < record.size() || split == 0)
        card.splitAsciiTail(split);

    // Field 0's first character is the record's first byte when that is a
    // letter: a GB18030 character of several bytes starts above 0x80.
    const void *letter = record.isEmpty() ? nullptr : std::memchr(kLetters, record.at(0), 3);
    if (letter)
        card.kind = int(static_cast<const char *>(letter) - kLetters);
    return card;
}

void CardText::splitAsciiTail(int from)
{
    const char *const bytes = record.constData();
    const int size = record.size();
    while (textFields.size() + asciiFieldCount < kFieldsRead) {
        const void *colon = std::memchr(bytes + from, ':', size_t(size - from));
        const int end = colon ? int(static_cast<const char *>(colon) - bytes) : size;
        asciiFields[size_t(asciiFieldCount++)] = QLatin1String(bytes + from, end - from);
        if (!colon)
            return;
        from = end + 1;
    }
}

void CardText::writeJson(JsonWriter &out, bool redacted) const
{
    out.beginObject();
    if (kind >= 0) {
        // Text decoded from two GB18030 bytes is one code unit; keys and
        // indents take a few hundred.
        out.reserve(record.size() + 1024);
        for (const Key &key : kKeys) {
            const bool holder = redacted && isHolderKey(key.name);
            if (holder && std::strcmp(key.name, "photo") == 0)
                continue;
            out.key(QLatin1String(key.name));
            const int field = key.field[kind];
            if (field == IdType) {
                out.value(QLatin1String(kIdTypes[kind]));
            } else if (field == Empty || field >= textFields.size() + asciiFieldCount) {
                // A short record leaves the keys past its last field empty.
                out.value(QString());
            } else if (field < textFields.size()) {
                const QString &text = textFields.at(field);
                out.value(holder ? QString(text.size(), QLatin1Char('*')) : text);
            } else {
                const QLatin1String text = asciiFields[size_t(field - textFields.size())];
                if (holder)
                    out.value(QString(text.size(), QLatin1Char('*')));
                else
                    out.value(text);
            }
        }
    }
    out.endObject();
}
