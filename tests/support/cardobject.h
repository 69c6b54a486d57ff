#ifndef CARDOBJECT_H
#define CARDOBJECT_H

#include <QByteArray>
#include <QJsonObject>

// The card object that the service sends for a record: written by the
// service's own writer, read back by Qt.
QJsonObject cardObject(const QByteArray &record);

#endif // CARDOBJECT_H
