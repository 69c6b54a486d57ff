#ifndef CARDRECORD_H
#define CARDRECORD_H

#include <QByteArray>
#include <QJsonObject>

// The card record in a record buffer: its bytes up to the first NUL, or the
// whole buffer when the library wrote no NUL. Never reads past size bytes.
QByteArray cardRecordBytes(const char *buffer, int size);

// GB18030 bytes as text, exactly as the codec named "GB18030" decodes them
// (bytes that are no GB18030 become U+FFFD), with a fast path for a plain ASCII tail.
QString decodeGb18030(const QByteArray &record);

// Turns a GB18030 card record, fields separated by ":", into the card object:
// twenty string members for the kinds "A", "J" and "I" (told apart by the first
// character of field 0), or the empty object for any other record.
QJsonObject decodeCardRecord(const QByteArray &record);

#endif // CARDRECORD_H
