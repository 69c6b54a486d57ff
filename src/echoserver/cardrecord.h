#ifndef CARDRECORD_H
#define CARDRECORD_H

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1String>
#include <QStringList>

#include <array>

// The card record in a record buffer: its bytes up to the first NUL, or the
// whole buffer when the library wrote no NUL. Never reads past size bytes.
QByteArray cardRecordBytes(const char *buffer, int size);

// A card record taken apart: its kind and fields. Fields before the record's
// plain ASCII tail are decoded text; fields in the tail (the photo above all)
// stay the record's own bytes, which are their text already: they are kept as
// places in the record, never copied. The reply writer writes a card from here
// without building a JSON object.
class CardText
{
public:
    static CardText decode(const QByteArray &record);

    bool recognised() const { return kind >= 0; }

    // The twenty keys in ascending order, each with its value: the decoded
    // text, or when text is null the record's own ASCII bytes.
    template <typename Visit> void forEachMember(Visit visit) const;

    // Bytes in the record: a writer's first guess at the card's size.
    int recordSize() const { return record.size(); }

    // The card object: twenty string members, or none for an unrecognised record.
    QJsonObject toJsonObject() const;

private:
    // Position of each key's field, or -1 for a key this kind leaves empty,
    // and the fixed "idType" text, in ascending key order.
    static const int *positions(int kind);
    static const char *const *sortedKeys();
    static const char *idType(int kind);

    // Fields past the last one any kind reads are never looked at.
    static constexpr int kFieldsRead = 15;

    void splitAsciiTail(int from);

    struct Span
    {
        int start;
        int size;
    };

    int kind = -1;
    QByteArray record;
    QStringList textFields;
    std::array<Span, kFieldsRead> asciiFields{};
    int asciiFieldCount = 0;
};

template <typename Visit> void CardText::forEachMember(Visit visit) const
{
    if (kind < 0)
        return;
    const int *position = positions(kind);
    const char *const *keys = sortedKeys();
    const QString empty;
    const QLatin1String none;
    for (int i = 0; i < 20; ++i) {
        const QLatin1String key(keys[i]);
        const int p = position[i];
        if (p == -2) {
            const QString fixed = QLatin1String(idType(kind));
            visit(key, &fixed, none);
        } else if (p < 0 || p >= textFields.size() + asciiFieldCount) {
            // A short record leaves the keys past its last field empty.
            visit(key, &empty, none);
        } else if (p < textFields.size()) {
            visit(key, &textFields.at(p), none);
        } else {
            const Span &span = asciiFields[size_t(p - textFields.size())];
            visit(key, nullptr, QLatin1String(record.constData() + span.start, span.size));
        }
    }
}

// Turns a GB18030 card record, fields separated by ":", into the card object:
// twenty string members for the kinds "A", "J" and "I" (told apart by the first
// character of field 0), or the empty object for any other record.
QJsonObject decodeCardRecord(const QByteArray &record);

#endif // CARDRECORD_H
