#include "cardrecord.h"

#include <QJsonValue>
#include <QStringList>
#include <QTextCodec>

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
const std::array<Key, 20> kKeys = {{
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

// Index of the kind in kKinds, or -1 for an unrecognised record.
int kindOf(const QString &field0)
{
    if (field0.isEmpty())
        return -1;
    for (size_t i = 0; i < kKinds.size(); ++i) {
        if (field0.at(0) == kKinds[i].letter)
            return int(i);
    }
    return -1;
}

} // namespace

QByteArray cardRecordBytes(const char *buffer, int size)
{
    const void *nul = std::memchr(buffer, '\0', static_cast<size_t>(size));
    const int length = nul ? static_cast<int>(static_cast<const char *>(nul) - buffer) : size;
    return QByteArray(buffer, length);
}

QString decodeGb18030(const QByteArray &record)
{
    // Records end in a long photo of plain ASCII, which GB18030 keeps byte for
    // byte. Only the part up to the first colon after the last byte above 0x7f
    // goes through the codec: a colon is never part of a multi-byte sequence,
    // so the codec has finished every character before it.
    const auto *bytes = reinterpret_cast<const uchar *>(record.constData());
    int last = record.size() - 1; // the last byte above 0x7f, or -1
    while (last >= 0 && bytes[last] < 0x80)
        --last;
    int split = 0;
    if (last >= 0) {
        const int colon = record.indexOf(':', last);
        split = colon < 0 ? record.size() : colon + 1;
    }
    QTextCodec *codec = QTextCodec::codecForName("GB18030");
    if (split == record.size())
        return codec->toUnicode(record);
    return codec->toUnicode(record.constData(), split) +
           QString::fromLatin1(record.constData() + split, record.size() - split);
}

QJsonObject decodeCardRecord(const QByteArray &record)
{
    QJsonObject card;
    const QString text = decodeGb18030(record);
    const QStringList fields = text.split(QLatin1Char(':'), Qt::KeepEmptyParts, Qt::CaseSensitive);

    const int kind = kindOf(fields.first());
    if (kind < 0)
        return card;

    for (const Key &key : kKeys) {
        const int position = key.position[size_t(kind)];
        // A short record leaves the keys past its last field empty.
        card.insert(QLatin1String(key.name), position >= 0 ? fields.value(position) : QString());
    }
    card.insert(QLatin1String("idType"), QLatin1String(kKinds[size_t(kind)].idType));
    return card;
}
