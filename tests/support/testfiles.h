#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

// Writes bytes as the whole content of the file at path, creating it when
// missing; true when every byte was written.
bool writeFile(const QString &path, const QByteArray &bytes);

// The text in GB18030, as the reader writes its record.
QByteArray toGb18030(const QString &text);

#endif // TESTFILES_H
