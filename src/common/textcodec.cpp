#include "textcodec.h"

#if QT_VERSION_MAJOR < 6
#include <QTextCodec>

QString TextCodec::fromGb18030(const char *bytes, int size)
{
    static QTextCodec *const gb18030 = QTextCodec::codecForName("GB18030");
    return gb18030->toUnicode(bytes, size);
}

QByteArray TextCodec::toLocal(const QString &text)
{
    return QTextCodec::codecForLocale()->fromUnicode(text);
}
#else
#include <QStringDecoder>
#include <QStringEncoder>

QString TextCodec::fromGb18030(const char *bytes, int size)
{
    QStringDecoder gb18030("GB18030");
    return gb18030.decode(QByteArrayView(bytes, size));
}

QByteArray TextCodec::toLocal(const QString &text)
{
    return QStringEncoder(QStringConverter::System).encode(text);
}
#endif
