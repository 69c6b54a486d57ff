#include "cardobject.h"

#include "cardrecord.h"
#include "jsonwriter.h"

#include <QJsonDocument>

QJsonObject cardObject(const QByteArray &record)
{
    const CardText card = CardText::decode(record);
    const QString text = JsonWriter::write({},
                                           {{QLatin1String("card"),
                                             [&](JsonWriter &out) {
                                                 card.writeJson(out);
                                             }}},
                                           JsonWriter::Format::Compact);
    return QJsonDocument::fromJson(text.toUtf8()).object().value(QLatin1String("card")).toObject();
}
