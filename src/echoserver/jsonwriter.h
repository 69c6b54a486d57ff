#ifndef JSONWRITER_H
#define JSONWRITER_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

#include "cardrecord.h"

#include <initializer_list>

// Writes a JSON object as text, byte for byte as QJsonDocument::toJson does,
// with some members set on the way: the object as if those members had been
// inserted into it, without building the changed object. Replies are the
// request with a few status members set, and this is their hot path.
namespace JsonWriter {

enum class Format { Indented, Compact };

// The longest text written, in characters (UTF-16 code units for text(), bytes
// for object()). The largest reply to a well-formed request is a few MiB: a
// 1 MiB request of whole numbers written out in full, plus a 10 KB card. Deep
// nesting multiplies the indent of every element, and a request of 200 KB can
// ask for a reply of gigabytes: writing stops as soon as it passes this bound.
constexpr int MaxTextSize = 8 * 1024 * 1024;

struct Member
{
    QLatin1String key; // ASCII
    QJsonValue value;
    // Written instead of value when set: the card object, from the record itself.
    const CardText *card = nullptr;
    // Written instead of value when set: a string, without making it a JSON value first.
    const QString *text = nullptr;
};

// The object with the members set, in the given format, or a null text when
// it would be longer than MaxTextSize. The members' keys must be ASCII and in
// ascending order, each at most once.
QByteArray object(const QJsonObject &object, std::initializer_list<Member> members, Format format);

// The same as text: object()'s bytes as UTF-16, written directly, for a reply
// that goes out as a text message (whose API takes a QString).
QString text(const QJsonObject &object, std::initializer_list<Member> members, Format format);

} // namespace JsonWriter

#endif // JSONWRITER_H
