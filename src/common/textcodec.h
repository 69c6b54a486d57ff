#ifndef TEXTCODEC_H
#define TEXTCODEC_H

#include <QByteArray>
#include <QString>

// The two text encodings the service meets besides UTF-8: GB18030, in which
// the reader writes its record, and the system's, in which the log is
// written. Qt 5 converts with its text codecs, Qt 6 with its string
// converters (GB18030 through ICU).
namespace TextCodec {
QString fromGb18030(const char *bytes, int size);
inline QString fromGb18030(const QByteArray &bytes)
{
    return fromGb18030(bytes.constData(), int(bytes.size()));
}
QByteArray toLocal(const QString &text);
} // namespace TextCodec

#endif // TEXTCODEC_H
