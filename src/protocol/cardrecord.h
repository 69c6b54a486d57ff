#ifndef CARDRECORD_H
#define CARDRECORD_H

#include <QByteArray>
#include <QStringList>

#include <array>

class JsonWriter;

// The card record in a record buffer: its bytes up to the first NUL, or the
// whole buffer when the library wrote no NUL. Never reads past size bytes.
QByteArray cardRecordBytes(const char *buffer, int size);

// A GB18030 card record taken apart, fields separated by ":", and written as
// the card object: twenty string members for the kinds "A", "J" and "I"
// (told apart by the first character of field 0), none for any other record.
//
// Fields before the record's plain ASCII tail are decoded text; fields in the
// tail (the photo above all) stay the record's own bytes, which are their text
// already: they are kept as places in the record and written from there, so a
// read builds no JSON object.
class CardText
{
public:
    static CardText decode(const QByteArray &record);

    bool recognised() const { return kind >= 0; }

    // The card object, written as Qt would write it. Redacted, for a log that
    // must not keep the holder: the fields that tell who it is are masked
    // with as many "*" as they have characters, and the photo is left out.
    void writeJson(JsonWriter &out, bool redacted = false) const;

private:
    // Fields past the last one any kind reads are never looked at.
    static constexpr int kFieldsRead = 15;

    void splitAsciiTail(int from);

    int kind = -1;
    // Never changed after decode(), so the tail fields' views into it stay valid.
    QByteArray record;
    QStringList textFields;
    std::array<QLatin1String, kFieldsRead> asciiFields{};
    int asciiFieldCount = 0;
};

#endif // CARDRECORD_H
