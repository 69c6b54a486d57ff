#ifndef CARDRECORD_H
#define CARDRECORD_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>

// The card record in a record buffer: its bytes up to the first NUL, or the
// whole buffer when the library wrote no NUL. Never reads past size bytes.
QByteArray cardRecordBytes(const char *buffer, int size);

// A card record taken apart: its kind and fields. Fields before the record's
// plain ASCII tail are decoded text; fields in the tail (the photo above all)
// stay the record's own bytes, which are their text already. The reply writer
// writes a card from here without building a JSON object.
class CardText
{
public:
    static CardText decode(const QByteArray &record);

    bool recognised() const { return kind >= 0; }

    // The twenty keys in ascending order, each with its value: exactly one of
    // text and ascii is non-null.
    template <typename Visit> void forEachMember(Visit visit) const;

    // The card object: twenty string members, or none for an unrecognised record.
    QJsonObject toJsonObject() const;

private:
    // Position of each key's field, or -1 for a key this kind leaves empty,
    // and the fixed "idType" text, in ascending key order.
    static const int *positions(int kind);
    static const char *const *sortedKeys();
    static const char *idType(int kind);

    int kind = -1;
    QStringList textFields;
    QList<QByteArray> asciiFields;
};

template <typename Visit> void CardText::forEachMember(Visit visit) const
{
    if (kind < 0)
        return;
    const int *position = positions(kind);
    const char *const *keys = sortedKeys();
    const QString empty;
    for (int i = 0; i < 20; ++i) {
        const QLatin1String key(keys[i]);
        const int p = position[i];
        if (p == -2) {
            const QString fixed = QLatin1String(idType(kind));
            visit(key, &fixed, nullptr);
        } else if (p < 0 || p >= textFields.size() + asciiFields.size()) {
            // A short record leaves the keys past its last field empty.
            visit(key, &empty, nullptr);
        } else if (p < textFields.size()) {
            visit(key, &textFields.at(p), nullptr);
        } else {
            visit(key, nullptr, &asciiFields.at(p - textFields.size()));
        }
    }
}

// Turns a GB18030 card record, fields separated by ":", into the card object:
// twenty string members for the kinds "A", "J" and "I" (told apart by the first
// character of field 0), or the empty object for any other record.
QJsonObject decodeCardRecord(const QByteArray &record);

#endif // CARDRECORD_H
