#include "commandprotocol.h"

#include "cardrecord.h"
#include "terminalprotocol.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString kStatusCode = QStringLiteral("statuCode");
const QString kResult = QStringLiteral("result");
const QString kMessage = QStringLiteral("message");
const QString kReadResult = QStringLiteral("read_result");

const QString kDriverMissing = QStringLiteral("缺少设备驱动文件!");

void setStatus(QJsonObject &reply, int code, const QString &message, bool withResult = true)
{
    reply.insert(kStatusCode, code);
    if (withResult)
        reply.insert(kResult, code);
    reply.insert(kMessage, message);
}

void openDevice(QJsonObject &reply)
{
    // The reply to "open_device" has never carried "result"; pages rely on that shape.
    if (!bLoadDll) {
        setStatus(reply, -1, kDriverMissing, false);
        return;
    }
    const long result = pOpenDevice("USB", "0400C35A", "");
    if (result >= 0)
        setStatus(reply, 0, QStringLiteral("连接设备成功!"), false);
    else
        setStatus(reply, -2, QStringLiteral("连接设备失败，错误代码：") + QString::number(result),
                  false);
}

void closeDevice(QJsonObject &reply)
{
    if (!bLoadDll) {
        setStatus(reply, -1, kDriverMissing);
        return;
    }
    // With the library loaded a close always counts as done.
    pCloseDevice();
    setStatus(reply, 0, QStringLiteral("关闭设备成功!"));
}

void readCardInfo(QJsonObject &reply)
{
    if (!bLoadDll) {
        setStatus(reply, -1, kDriverMissing);
        return;
    }
    // Zeroed before every call: the record ends where the library stopped writing.
    char record[COMMONINTERFACE_RECORD_SIZE] = {};
    const long result = pIdReadCard(0, 1, record, 0);
    if (result != 0) {
        setStatus(reply, -3,
                  QStringLiteral("读取证件信息失败，错误代码：") + QString::number(result));
        return;
    }
    setStatus(reply, 0, QStringLiteral("读取证件信息成功!"));
    reply.insert(kReadResult, decodeCardRecord(cardRecordBytes(record, sizeof record)));
}

} // namespace

QString answerTextMessage(const QString &message)
{
    // Unparsable text and non-object documents read as the empty object.
    QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    QJsonObject reply = document.object();
    qDebug() << "processTextMessage message:" << message;

    if (!reply.contains(QLatin1String("cmd"))) {
        qDebug() << "processTextMessage message not contains cmd";
        document.setObject(reply);
        return QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    }

    qDebug() << "processTextMessage message contains cmd";
    const QString cmd = reply.value(QLatin1String("cmd")).toString();
    qDebug() << "processTextMessage cmd:" << cmd;

    if (cmd == QLatin1String("open_device"))
        openDevice(reply);
    else if (cmd == QLatin1String("close_device"))
        closeDevice(reply);
    else if (cmd == QLatin1String("read_card_info"))
        readCardInfo(reply);
    else
        setStatus(reply, -4, QStringLiteral("未知命令"));

    document.setObject(reply);
    qDebug() << "processTextMessage response:"
             << QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    return QString::fromUtf8(document.toJson(QJsonDocument::Indented));
}
