// Any bytes the reader library may leave in the record buffer: the record is
// taken up to the first NUL (or the whole buffer) and decoded.
#include "cardobject.h"
#include "cardrecord.h"
#include "commoninterface.h"
#include "jsonwriter.h"
#include "textcodec.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the buffer's size on the heap, so that a read past it is caught.
    const size_t length = size < COMMONINTERFACE_RECORD_SIZE ? size : COMMONINTERFACE_RECORD_SIZE;
    std::unique_ptr<char[]> buffer(new char[COMMONINTERFACE_RECORD_SIZE]);
    std::memset(buffer.get(), 0, COMMONINTERFACE_RECORD_SIZE);
    std::memcpy(buffer.get(), data, length);

    const QByteArray record = cardRecordBytes(buffer.get(), COMMONINTERFACE_RECORD_SIZE);
    if (record.size() > COMMONINTERFACE_RECORD_SIZE || record.contains('\0'))
        std::abort();
    // The reply writer writes the card as Qt writes what it reads from it.
    const CardText text = CardText::decode(record);
    QJsonObject card;
    for (auto format : {JsonWriter::Format::Indented, JsonWriter::Format::Compact}) {
        const QByteArray written = writtenCard(text, format);
        const QJsonDocument parsed = QJsonDocument::fromJson(written);
        if (written != parsed.toJson(format == JsonWriter::Format::Compact
                                         ? QJsonDocument::Compact
                                         : QJsonDocument::Indented))
            std::abort();
        card = parsed.object().value(QLatin1String("card")).toObject();
    }
    // Fields sit where splitting the decoded record at every colon puts them.
    if (!card.isEmpty()) {
        // Only part of the record goes through the codec; the fields must match
        // the codec's text of the whole record.
        const QStringList fields = TextCodec::fromGb18030(record).split(QLatin1Char(':'));
        const std::pair<const char *, int> common[] = {
            {"gender", 3},      {"birthday", 7},    {"idNum", 9}, {"issueOrg", 10},
            {"effectDate", 11}, {"expireDate", 12}, {"photo", 14}};
        for (const auto &[key, position] : common) {
            if (card.value(QLatin1String(key)).toString() != fields.value(position))
                std::abort();
        }
    }
    // A recognised record gives the twenty keys, anything else none.
    if (!card.isEmpty() && card.size() != 20)
        std::abort();
    for (auto it = card.constBegin(); it != card.constEnd(); ++it) {
        if (!it.value().isString())
            std::abort();
    }
    return 0;
}
