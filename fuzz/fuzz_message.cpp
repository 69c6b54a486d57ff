// Any text a client may send, through the code that answers it, without a
// network: the reply must be a JSON object, the request's members must come
// back, and the reply writer must agree with Qt's JSON writer.
#include "commanddispatch.h"
#include "globals.h"
#include "jsonreader.h"
#include "jsonwriter.h"
#include "logsink.h"
#include "readerlibrary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QVarLengthArray>

#include <sanitizer/lsan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

long openResult = 0;
long readResult = 0;

const char kSample[] =
    "A:\xc2\xc0\x95\x32\x82\x36\xb3\xbf::M::H::19900101:ADDR:0001:ORG:1:2::UEhPVE8=";

// The library answers at once, as the first byte of the input says.
class FakeLibrary : public ReaderLibrary
{
public:
    void call(const void *, const QString &, Call call, Done done) override
    {
        Outcome outcome;
        outcome.failed = fault;
        outcome.result = call == Call::OpenDevice   ? openResult
                         : call == Call::IdReadCard ? readResult
                                                    : 0;
        if (call == Call::IdReadCard && readResult == 0)
            outcome.record = QByteArray(kSample);
        done(outcome);
    }
    void forget(const void *) override {}
    bool fault = false;
};

FakeLibrary library;

// Qt finds a key by binary search, but orders keys one way when it parses and
// another when it looks up: with a key holding U+FFFD and another holding a
// character beyond U+FFFF, value() misses a member that is there, and two
// parses of the same members (one with escapes) may list them in different
// orders. The checks below walk the object and leave the order aside; the
// order of the service's text is checked against Qt's writer.
QJsonValue member(const QJsonObject &object, const QString &key)
{
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key() == key)
            return it.value();
    }
    return QJsonValue(QJsonValue::Undefined);
}

// Equal as JSON text carries them: every number is written as a double, so a
// 64-bit integer beyond 2^53 comes back rounded, as Qt's own writer does.
bool sameJson(const QJsonValue &a, const QJsonValue &b)
{
    if (a.isDouble() && b.isDouble())
        return a.toDouble() == b.toDouble();
    if (a.isArray() && b.isArray()) {
        const QJsonArray x = a.toArray(), y = b.toArray();
        if (x.size() != y.size())
            return false;
        for (int i = 0; i < x.size(); ++i) {
            if (!sameJson(x.at(i), y.at(i)))
                return false;
        }
        return true;
    }
    if (a.isObject() && b.isObject()) {
        const QJsonObject x = a.toObject(), y = b.toObject();
        if (x.size() != y.size())
            return false;
        for (auto it = x.constBegin(); it != x.constEnd(); ++it) {
            if (!sameJson(it.value(), member(y, it.key())))
                return false;
        }
        return true;
    }
    return a == b;
}

// Qt 5 sorts an object's members with an unstable sort past 16 of them, so
// which member of a repeated key it keeps there is anyone's guess; the service
// keeps the last. Qt's parse is the reference only where no object of the
// text has more members than that.
bool qtKeepsTheLastMember(const QByteArray &utf8)
{
    constexpr int StableMembers = 16;
    QVarLengthArray<int, 16> members; // for each open container; -1 for an array
    bool inString = false;
    for (int i = 0; i < utf8.size(); ++i) {
        const char c = utf8.at(i);
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            members.append(c == '{' ? 0 : -1);
        } else if (c == '}' || c == ']') {
            if (!members.isEmpty())
                members.removeLast();
        } else if (c == ':' && !members.isEmpty() && members.last() >= 0 &&
                   ++members.last() > StableMembers) {
            return false;
        }
    }
    return true;
}

// Qt's parser compares keys one way where both came with escapes (UTF-16 code
// units) and another where one came without (code points, a lone surrogate
// read as U+FFFD). So it may sort two members of one key apart and keep both
// ("\ud800\udc00" and a raw U+10000 with "\ufffd" between them), and it takes
// "\ud800" and a raw U+FFFD for one key. The service keeps the last member of
// a repeated key and writes a lone surrogate as an escape; Qt's parse is no
// reference where an object repeats a key or a key holds a lone surrogate.
bool qtMisreads(const QJsonValue &value)
{
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::any_of(array.begin(), array.end(), qtMisreads);
    }
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    QSet<QString> keys;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (keys.contains(it.key()) || !it.key().isValidUtf16() || qtMisreads(it.value()))
            return true;
        keys.insert(it.key());
    }
    return false;
}

bool setUp()
{
    // The log goes to /dev/null: its lines are built and written like real ones.
    strLogFile = QStringLiteral("/dev/null");
    qInstallMessageHandler(outputMyMessage);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    if (size == 0)
        return 0;
    // The first byte picks what the library answers.
    openResult = long(int8_t(data[0]));
    readResult = data[0] & 1 ? 0 : long(int8_t(data[0]));
    library.fault = (data[0] & 0x7e) == 0x7e;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data) + 1, int(size - 1));

    QString reply;
    answerTextMessage(text, &library, &reply, QString(),
                      [&reply](const QString &answer) { reply = answer; });
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(reply.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !parsed.isObject())
        std::abort();

    const QByteArray utf8 = text.toUtf8();
    const QJsonObject request = JsonReader::parseObject(utf8);
    // The service parses requests as Qt does, except that it refuses keys with
    // a raw NUL byte. Qt's own parser loses memory on repeated keys: the leak
    // checker looks away while it parses the reference.
    if (!utf8.contains('\0') && qtKeepsTheLastMember(utf8)) {
        QJsonObject reference;
        {
            __lsan::ScopedDisabler qtLeaksOnRepeatedKeys;
            reference = QJsonDocument::fromJson(utf8).object();
        }
        if (!qtMisreads(reference) && !sameJson(request, reference))
            std::abort();
    }
    // The writer's text is Qt's, byte for byte.
    const QString written = JsonWriter::write(request, {}, JsonWriter::Format::Indented);
    if (written != QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Indented)))
        std::abort();
    // The reply is read back with Qt's parser too.
    if (qtMisreads(request))
        return 0;
    const QJsonObject answer = parsed.object();
    for (auto it = request.constBegin(); it != request.constEnd(); ++it) {
        const bool statusKey =
            it.key() == QLatin1String("statuCode") || it.key() == QLatin1String("result") ||
            it.key() == QLatin1String("message") || it.key() == QLatin1String("read_result");
        if (!statusKey && !sameJson(member(answer, it.key()), it.value()))
            std::abort();
    }
    // Without "cmd" the request comes back as it is, a "statuCode" of its own
    // included; with one, the reply always carries a status.
    if (!request.contains(QLatin1String("cmd")) ? !sameJson(answer, request)
                                                : !answer.contains(QLatin1String("statuCode")))
        std::abort();
    return 0;
}
