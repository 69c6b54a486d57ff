#include "commanddispatch.h"

#include "cardrecord.h"
#include "jsonreader.h"
#include "jsonwriter.h"
#include "logsink.h"
#include "policy.h"
#include "readerlibrary.h"

#include <QDebug>
#include <QJsonObject>

namespace {

using Format = JsonWriter::Format;

const QString kDriverMissing = QStringLiteral("缺少设备驱动文件!");

// What a command sets in the reply. "result" mirrors the status code for every
// command but "open_device"; "read_result" only follows a successful read.
struct Status
{
    Status(int code, const QString &message, bool withResult = true)
        : code(code), message(message), withResult(withResult)
    {
    }
    Status(const QString &message, const CardText &card)
        : code(0), message(message), withCard(true), card(card)
    {
    }

    int code;
    QString message;
    bool withResult = true;
    bool withCard = false;
    CardText card;
};

// The library failed inside the call: the text ends with an error code that
// no result of the library's can read as (those are numbers).
const QString kLibraryFault = QStringLiteral("读卡库异常，错误代码：LIBRARY_FAULT");

using Call = ReaderLibrary::Call;
using Outcome = ReaderLibrary::Outcome;

Status openStatus(const Outcome &outcome)
{
    // The reply to "open_device" has never carried "result"; pages rely on that shape.
    if (outcome.failed)
        return {-2, QStringLiteral("连接设备失败，") + kLibraryFault, false};
    if (outcome.result >= 0)
        return {0, QStringLiteral("连接设备成功!"), false};
    return {-2, QStringLiteral("连接设备失败，错误代码：") + QString::number(outcome.result),
            false};
}

Status closeStatus(const Outcome &)
{
    // With the library loaded a close always counts as done; a host that
    // failed in it took the device with it.
    return {0, QStringLiteral("关闭设备成功!")};
}

Status readStatus(const Outcome &outcome)
{
    if (outcome.failed)
        return {-3, QStringLiteral("读取证件信息失败，") + kLibraryFault};
    if (outcome.result != 0)
        return {-3,
                QStringLiteral("读取证件信息失败，错误代码：") + QString::number(outcome.result)};
    return {QStringLiteral("读取证件信息成功!"),
            CardText::decode(cardRecordBytes(outcome.record.constData(), outcome.record.size()))};
}

// The request with the status set in it, members in key order; redacted for
// a log that must not keep the card's holder.
QString reply(const QJsonObject &request, const Status &status, Format format,
              bool redacted = false)
{
    using Member = JsonWriter::Member;
    const Member message{QLatin1String("message"), [&](JsonWriter &out) {
                             out.value(status.message);
                         }};
    const Member code{QLatin1String("statuCode"), [&](JsonWriter &out) {
                          out.value(status.code);
                      }};
    if (!status.withResult)
        return JsonWriter::write(request, {message, code}, format);
    const Member result{QLatin1String("result"), [&](JsonWriter &out) {
                            out.value(status.code);
                        }};
    if (!status.withCard)
        return JsonWriter::write(request, {message, result, code}, format);
    const Member card{QLatin1String("read_result"), [&](JsonWriter &out) {
                          status.card.writeJson(out, redacted);
                      }};
    return JsonWriter::write(request, {message, card, result, code}, format);
}

// A reply too long to write is not sent: say so in the log, once.
QString replyOrNothing(const QString &text)
{
    if (text.isNull())
        qDebug() << "processTextMessage response too large, closing with 1009; longer than"
                 << JsonWriter::MaxTextSize << "characters";
    return text;
}

// A peer's text in the log, quoted: a long one by its beginning, so that a
// megabyte of control characters is never escaped (six bytes each) whole.
void logText(const char *what, const QString &text)
{
    if (text.size() <= LogLineChars) {
        qDebug() << what << text;
        return;
    }
    qDebug().noquote() << what
                       << QStringLiteral("(%1 bytes, the first %2 characters)")
                              .arg(utf8Length(text))
                              .arg(LogLineChars)
                       << quotedForLog(text.left(LogLineChars));
}

} // namespace

void answerTextMessage(const QString &message, ReaderLibrary *reader, const void *client,
                       const QString &page, std::function<void(const QString &)> answer)
{
    // The log sink drops every line while there is no log file, and building
    // the lines (the compact reply above all, and its quoting) is much of the
    // work for a small request: build them only while the file is there.
    const bool logging = logFileExists();

    // Unparsable text and non-object documents read as the empty object.
    const QJsonObject request = JsonReader::parseObject(message.toUtf8());
    if (logging)
        logText("processTextMessage message:", message);

    // Undefined only when the member is missing; a "cmd" of another type reads as "".
    const QJsonValue cmdValue = request.value(QLatin1String("cmd"));
    if (cmdValue.isUndefined()) {
        if (logging)
            qDebug() << "processTextMessage message not contains cmd";
        answer(replyOrNothing(JsonWriter::write(request, {}, Format::Indented)));
        return;
    }

    const QString cmd = cmdValue.toString();
    if (logging) {
        qDebug() << "processTextMessage message contains cmd";
        qDebug() << "processTextMessage cmd:" << cmd;
    }

    // Moved, not copied, on their way to the library: each copy of a
    // std::function is an allocation.
    auto finish = [request, answer = std::move(answer), logging](const Status &status) {
        // The compact form is shorter than the indented one: when the reply
        // fits, so does its log line.
        const QString sent = replyOrNothing(reply(request, status, Format::Indented));
        if (logging && !sent.isNull())
            logText("processTextMessage response:",
                    reply(request, status, Format::Compact, policy.redactsCardData()));
        answer(sent);
    };
    Status (*statusOf)(const Outcome &) = nullptr;
    Call call = Call::OpenDevice;
    if (cmd == QLatin1String("open_device")) {
        statusOf = openStatus;
    } else if (cmd == QLatin1String("close_device")) {
        statusOf = closeStatus;
        call = Call::CloseDevice;
    } else if (cmd == QLatin1String("read_card_info")) {
        statusOf = readStatus;
        call = Call::IdReadCard;
    } else {
        finish({-4, QStringLiteral("未知命令")});
        return;
    }
    if (!reader) {
        finish({-1, kDriverMissing, call != Call::OpenDevice});
        return;
    }
    reader->call(client, page, call,
                 [finish = std::move(finish), statusOf](const Outcome &outcome) {
                     finish(statusOf(outcome));
                 });
}
