#ifndef JSONREADER_H
#define JSONREADER_H

#include <QByteArray>
#include <QJsonObject>

namespace JsonReader {

// The top-level object of a JSON text, as QJsonDocument::fromJson(text).object()
// gives it: the empty object for unparsable text or a non-object document, and
// the last value for a key that an object repeats.
//
// Qt's parser loses the memory of an array or object whose key comes again
// later in the same object, so a client could make the service grow by
// repeating keys. Qt is never given a text with a repeated key: the earlier
// members of a repeated key are left out, each checked on its own so that the
// text is accepted exactly when Qt would accept it whole. Repeated keys inside
// repeated members more than 32 levels deep, and keys with a raw NUL byte
// (which JSON does not allow and Qt compares inconsistently), are answered as
// unparsable.
QJsonObject parseObject(const QByteArray &utf8);

} // namespace JsonReader

#endif // JSONREADER_H
