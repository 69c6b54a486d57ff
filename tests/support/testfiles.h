#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

// Writes bytes as the whole content of the file at path, creating it when
// missing; true when every byte was written.
bool writeFile(const QString &path, const QByteArray &bytes);

#endif // TESTFILES_H
