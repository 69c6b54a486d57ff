// Any bytes the reader library may leave in the record buffer: the record is
// taken up to the first NUL (or the whole buffer) and decoded.
#include "cardrecord.h"
#include "commoninterface.h"

#include <QJsonObject>
#include <QTextCodec>

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
    // The fast path must give what the codec gives for the whole record.
    if (decodeGb18030(record) != QTextCodec::codecForName("GB18030")->toUnicode(record))
        std::abort();
    const QJsonObject card = decodeCardRecord(record);
    // A recognised record gives the twenty keys, anything else none.
    if (!card.isEmpty() && card.size() != 20)
        std::abort();
    for (auto it = card.constBegin(); it != card.constEnd(); ++it) {
        if (!it.value().isString())
            std::abort();
    }
    return 0;
}
