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
// repeating keys; the earlier members of a repeated key are dropped from the
// text before Qt parses it, which leaves the result as it was.
QJsonObject parseObject(const QByteArray &utf8);

// The text with every member but the last of each repeated key removed from
// each object; the text unchanged when no key repeats or it is not well formed.
QByteArray withoutRepeatedKeys(const QByteArray &utf8);

} // namespace JsonReader

#endif // JSONREADER_H
