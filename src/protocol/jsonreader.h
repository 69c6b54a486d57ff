#ifndef JSONREADER_H
#define JSONREADER_H

#include <QByteArray>
#include <QJsonObject>

namespace JsonReader {

// The top-level object of a JSON text, as QJsonDocument::fromJson(text).object()
// gives it: the empty object for unparsable text or a non-object document, the
// last value for a key that an object repeats.
//
// Qt's parser loses the memory of an array or object whose key comes again in
// the same object, and past 16 members Qt 5 keeps any one of a repeated key's
// members rather than the last, so Qt is never given a repeated key: the
// earlier members are left out, each checked on its own so that the text is
// accepted exactly when Qt would accept it whole. Repeated keys inside
// repeated members more than 32 levels deep, and keys with a raw NUL byte,
// are answered as unparsable.
QJsonObject parseObject(const QByteArray &utf8);

} // namespace JsonReader

#endif // JSONREADER_H
