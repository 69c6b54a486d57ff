#include "policy.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Policy policy;

namespace {

// The first policy file in the XDG system configuration folders, or empty.
// A name there that may be a policy but cannot be reached (a folder the
// service may not search, a symbolic link to nothing) is returned too: load()
// then refuses it rather than serving as if there were none.
QString findPolicyFile()
{
    for (const QString &folder : Policy::folders()) {
        const QString file = folder + QStringLiteral("/krvi2veravawebsocket/policy.conf");
        struct stat status;
        if (::lstat(QFile::encodeName(file).constData(), &status) == 0 || errno != ENOENT)
            return file;
    }
    return QString();
}

// The text of a file that may be a policy, read whole without blocking
// (a FIFO or a device is never opened for reading); empty, with why set,
// when it cannot be, or is larger than Policy::MaxFileBytes (a sparse file
// of gigabytes, a link to something of /proc).
QByteArray readWhole(const QString &file, QString *why)
{
    const QByteArray name = QFile::encodeName(file);
    struct stat status;
    if (::lstat(name.constData(), &status) != 0) {
        *why =
            QStringLiteral("cannot be reached (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
        return QByteArray();
    }
    if (::stat(name.constData(), &status) != 0) {
        *why = QStringLiteral("is a symbolic link to a file that cannot be reached (%1)")
                   .arg(QString::fromLocal8Bit(strerror(errno)));
        return QByteArray();
    }
    if (!S_ISREG(status.st_mode)) {
        *why = QStringLiteral("is not a regular file");
        return QByteArray();
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = QStringLiteral("cannot be read");
        return QByteArray();
    }
    QByteArray text;
    // What was opened is what counts: the name may have changed since.
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = QStringLiteral("is not a regular file");
    } else if (status.st_size > Policy::MaxFileBytes) {
        *why = QStringLiteral("is larger than %1 KiB").arg(Policy::MaxFileBytes / 1024);
    } else {
        // One byte more than the bound tells a file that reports no size.
        text.resize(Policy::MaxFileBytes + 1);
        int got = 0;
        for (;;) {
            const ssize_t now = ::read(fd, text.data() + got, size_t(text.size() - got));
            if (now > 0 && (got += int(now)) < text.size())
                continue;
            if (now < 0 && errno == EINTR)
                continue;
            if (now < 0)
                *why = QStringLiteral("cannot be read");
            else if (got > Policy::MaxFileBytes)
                *why = QStringLiteral("is larger than %1 KiB").arg(Policy::MaxFileBytes / 1024);
            break;
        }
        text.resize(got);
    }
    ::close(fd);
    return why->isEmpty() ? text : QByteArray();
}

// The lines of a text ending in LF, CRLF or CR alike.
QList<QByteArray> linesOf(QByteArray text)
{
    return text.replace("\r\n", "\n").replace('\r', '\n').split('\n');
}

// A value as written, without the quotes around it.
QByteArray unquoted(const QByteArray &value)
{
    if (value.size() > 1 && value.startsWith('"') && value.endsWith('"'))
        return value.mid(1, value.size() - 2);
    return value;
}

// "~/" expanded; empty when the result is not an absolute path.
QString logPath(QString file)
{
    if (file.startsWith(QLatin1String("~/")))
        file = QDir::homePath() + file.mid(1);
    return QDir::isAbsolutePath(file) ? file : QString();
}

} // namespace

const Policy::Key Policy::keys[] = {
    {"network/listen", {"any", "loopback"}, &Policy::loopback},
    {"network/origins", {}, nullptr},
    {"network/noOrigin", {"allow", "refuse"}, &Policy::refuseNoOrigin},
    {"network/otherUsers", {"allow", "refuse"}, &Policy::refuseOthers},
    {"log/cardData", {"full", "redacted"}, &Policy::redact},
    {"log/file", {}, nullptr},
    {"log/size", {}, nullptr},
    {"reader/sandbox", {"on", "off"}, &Policy::noSandbox},
    {"reader/memory", {}, nullptr},
};

QStringList Policy::folders()
{
    // The administrator's /etc/xdg counts whatever the session's list says
    // (a desktop's own list may leave it out); a folder listed may come
    // first. Empty and relative entries mean nothing.
    QStringList found;
    const QString listed = qEnvironmentVariable("XDG_CONFIG_DIRS");
    for (const QString &entry : listed.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString folder = QDir::cleanPath(entry);
        if (QDir::isAbsolutePath(folder) && !found.contains(folder))
            found.append(folder);
    }
    if (!found.contains(QLatin1String("/etc/xdg")))
        found.append(QStringLiteral("/etc/xdg"));
    return found;
}

bool operator==(const Policy &a, const Policy &b)
{
    return a.path == b.path && a.problem == b.problem && a.keysSet == b.keysSet &&
           a.loopback == b.loopback && a.origins == b.origins &&
           a.refuseNoOrigin == b.refuseNoOrigin && a.refuseOthers == b.refuseOthers &&
           a.redact == b.redact && a.log == b.log && a.noSandbox == b.noSandbox &&
           a.memoryMiB == b.memoryMiB && a.logMiB == b.logMiB;
}

bool Policy::fail(const QString &key, const QString &what)
{
    const int slash = key.indexOf(QLatin1Char('/'));
    const QString where =
        slash < 0 ? key : QStringLiteral("[%1] %2").arg(key.left(slash), key.mid(slash + 1));
    problem = QStringLiteral("%1: %2: %3").arg(path, where, what);
    return false;
}

bool Policy::load()
{
    *this = Policy();
    path = findPolicyFile();
    if (path.isEmpty())
        return true;
    QString why;
    const QByteArray text = readWhole(path, &why);
    if (!why.isEmpty())
        return fail(QStringLiteral("file"), why);
    // One reading of the file decides what it sets, what it gives twice and
    // where a refusal is logged: a file refused for any fault still gets its
    // refusal written to the log file it names, when it names exactly one.
    const auto fault = [this](const QString &key, const QString &what) {
        if (problem.isEmpty())
            fail(key, what);
    };
    const bool byteOrderMark = text.startsWith("\xEF\xBB\xBF");
    if (byteOrderMark)
        fault(QStringLiteral("file"), QStringLiteral("begins with a UTF-8 byte order mark (save "
                                                     "it without one)"));
    if (QString::fromUtf8(text).toUtf8() != text)
        fault(QStringLiteral("file"), QStringLiteral("is not UTF-8 text"));
    QHash<QString, QString> given;
    QStringList logFiles;
    QString section;
    int number = 0;
    for (const QByteArray &raw : linesOf(byteOrderMark ? text.mid(3) : text)) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            fault(
                QStringLiteral("line %1").arg(number),
                QStringLiteral("is not a section, a key or a comment (comments begin with \";\")"));
            continue;
        }
        const QString name = line.left(equals).trimmed();
        const QString key = section + QLatin1Char('/') + name;
        const QString value =
            QString::fromUtf8(unquoted(line.mid(equals + 1).trimmed().toUtf8())).trimmed();
        if (key == QLatin1String("log/file"))
            logFiles.append(value);
        if (section.isEmpty())
            fault(name, QStringLiteral("outside a section ([network], [log] or [reader])"));
        else if (std::none_of(std::begin(keys), std::end(keys),
                              [&](const Key &known) { return key == QLatin1String(known.name); }))
            fault(key, name.startsWith(QLatin1Char('#'))
                           ? QStringLiteral("unknown key (comments begin with \";\")")
                           : QStringLiteral("unknown key"));
        else if (given.contains(key))
            fault(key, QStringLiteral("given twice"));
        given.insert(key, value);
    }
    log = logFiles.size() == 1 ? logPath(logFiles.first()) : QString();
    if (!problem.isEmpty())
        return false;
    keysSet = given.size();

    for (const Key &key : keys) {
        if (!key.choice)
            continue;
        const QStringList words{QLatin1String(key.words[0]), QLatin1String(key.words[1])};
        const QString value = given.value(QLatin1String(key.name), words.first());
        if (!words.contains(value))
            return fail(QLatin1String(key.name), QStringLiteral("\"%1\" is not one of %2")
                                                     .arg(value, words.join(QStringLiteral(", "))));
        this->*key.choice = value == words.last();
    }

    if (given.contains(QStringLiteral("network/origins"))) {
        const QString listed = given.value(QStringLiteral("network/origins"));
        for (const QString &entry : listed.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString origin = normalOrigin(entry.trimmed());
            if (origin.isEmpty())
                return fail(
                    QStringLiteral("network/origins"),
                    QStringLiteral("\"%1\" is not an origin (scheme://host[:port], or null)")
                        .arg(entry.trimmed()));
            origins.append(origin);
        }
        if (origins.isEmpty())
            return fail(QStringLiteral("network/origins"),
                        QStringLiteral("lists no origin (leave the key out to admit every one)"));
    }

    // A number of MiB within its bounds, where the key is given.
    const auto mebibytes = [&](const QString &key, int least, int most, int *into) {
        if (!given.contains(key))
            return true;
        const QString value = given.value(key);
        bool isNumber = false;
        *into = value.toInt(&isNumber);
        if (isNumber && *into >= least && *into <= most)
            return true;
        return fail(key, QStringLiteral("\"%1\" is not a number of MiB from %2 to %3")
                             .arg(value)
                             .arg(least)
                             .arg(most));
    };
    // Below 32 MiB a library hardly loads; above 64 GiB is no bound.
    if (!mebibytes(QStringLiteral("reader/memory"), 32, 65536, &memoryMiB) ||
        !mebibytes(QStringLiteral("log/size"), 1, 65536, &logMiB))
        return false;

    if (given.contains(QStringLiteral("log/file")) && log.isEmpty())
        return fail(QStringLiteral("log/file"),
                    QStringLiteral("\"%1\" is not an absolute path or one in ~/")
                        .arg(given.value(QStringLiteral("log/file"))));
    return true;
}

bool Policy::narrows(const Policy &was) const
{
    const bool fewerOrigins =
        was.origins.isEmpty() ||
        (!origins.isEmpty() && std::all_of(origins.begin(), origins.end(), [&](const QString &o) {
            return was.origins.contains(o);
        }));
    return fewerOrigins && loopback >= was.loopback && refuseNoOrigin >= was.refuseNoOrigin &&
           refuseOthers >= was.refuseOthers && redact >= was.redact && noSandbox <= was.noSandbox &&
           log == was.log && logMiB == was.logMiB && memoryMiB == was.memoryMiB;
}

QList<QHostAddress> Policy::listenAddresses() const
{
    if (loopback)
        return {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    return {QHostAddress(QHostAddress::Any)};
}

QString Policy::refusalForOrigin(const QString &origin) const
{
    if (origin.isEmpty())
        return refuseNoOrigin ? QStringLiteral("no Origin header") : QString();
    if (origins.isEmpty() || origins.contains(normalOrigin(origin)))
        return QString();
    return QStringLiteral("origin not listed");
}

QString Policy::normalOrigin(const QString &origin)
{
    if (origin.compare(QLatin1String("null"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("null");
    const QUrl url(origin, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        !url.query(QUrl::FullyEncoded).isEmpty() || !url.fragment().isEmpty() ||
        (url.path() != QLatin1String("/") && !url.path().isEmpty()))
        return QString();
    const QString scheme = url.scheme().toLower();
    int port = url.port();
    if (port < 0 && (scheme == QLatin1String("http") || scheme == QLatin1String("ws")))
        port = 80;
    if (port < 0 && (scheme == QLatin1String("https") || scheme == QLatin1String("wss")))
        port = 443;
    if (port < 0)
        return QString();
    QUrl normal;
    normal.setScheme(scheme);
    // Browsers send a host in its ASCII form (punycode): a host listed in
    // Unicode is compared in that form too.
    normal.setHost(url.host(QUrl::FullyEncoded).toLower());
    normal.setPort(port);
    return normal.toString();
}
