#include "testfiles.h"

#include <QFile>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

#if QT_VERSION_MAJOR < 6
#include <QTextCodec>

QByteArray toGb18030(const QString &text)
{
    return QTextCodec::codecForName("GB18030")->fromUnicode(text);
}
#else
#include <QStringEncoder>

QByteArray toGb18030(const QString &text)
{
    return QStringEncoder("GB18030").encode(text);
}
#endif
