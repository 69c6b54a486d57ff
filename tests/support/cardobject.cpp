#include "cardobject.h"

#include "cardrecord.h"

#include <QJsonDocument>

QByteArray writtenCard(const CardText &card, JsonWriter::Format format)
{
    const auto writeCard = [&card](JsonWriter &out) {
        card.writeJson(out);
    };
    return JsonWriter::write({}, {{QLatin1String("card"), writeCard}}, format).toUtf8();
}

QJsonObject cardObject(const QByteArray &record)
{
    const QByteArray text = writtenCard(CardText::decode(record), JsonWriter::Format::Compact);
    return QJsonDocument::fromJson(text).object().value(QLatin1String("card")).toObject();
}
