#ifndef CARDOBJECT_H
#define CARDOBJECT_H

#include "jsonwriter.h"

#include <QByteArray>
#include <QJsonObject>

class CardText;

// The card as the service's writer writes it: the one member "card" of an
// otherwise empty object, as UTF-8.
QByteArray writtenCard(const CardText &card, JsonWriter::Format format);

// The card object that the service sends for a record: written by the
// service's own writer, read back by Qt.
QJsonObject cardObject(const QByteArray &record);

#endif // CARDOBJECT_H
