#include "policy.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Why a file that may be a policy cannot be read whole; empty when it can.
QString unreachable(const QString &file)
{
    const QByteArray name = QFile::encodeName(file);
    struct stat status;
    if (::lstat(name.constData(), &status) != 0)
        return QStringLiteral("cannot be reached (%1)")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    if (::stat(name.constData(), &status) != 0)
        return QStringLiteral("is a symbolic link to a file that cannot be reached (%1)")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("is not a regular file");
    if (::access(name.constData(), R_OK) != 0)
        return QStringLiteral("cannot be read");
    return QString();
}

// The entries of an INI text as "section/key" and value, in order, with the
// value's quotes left on: what the INI reader would see, read leniently.
QList<QPair<QByteArray, QByteArray>> entries(const QByteArray &text)
{
    QList<QPair<QByteArray, QByteArray>> found;
    QByteArray section;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            section = line.mid(1, line.indexOf(']') - 1).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals >= 0)
            found.append(
                {section + '/' + line.left(equals).trimmed(), line.mid(equals + 1).trimmed()});
    }
    return found;
}

// A key given twice, which the INI reader would take the last of silently:
// "[section] key", or empty when there is none.
QString repeatedKey(const QByteArray &text)
{
    QSet<QByteArray> seen;
    for (const auto &entry : entries(text)) {
        if (seen.contains(entry.first))
            return QString::fromUtf8(entry.first.startsWith('/') ? entry.first.mid(1)
                                                                 : entry.first);
        seen.insert(entry.first);
    }
    return QString();
}

// "~/" expanded; empty when the result is not an absolute path.
QString logPath(QString file)
{
    if (file.startsWith(QLatin1String("~/")))
        file = QDir::homePath() + file.mid(1);
    return QDir::isAbsolutePath(file) ? file : QString();
}

// The log file a text names, found without the INI reader: a file refused
// for any other fault still gets its refusal written where the administrator
// looks. Empty when it names none, or more than one.
QString namedLogFile(const QByteArray &text)
{
    QStringList named;
    for (const auto &entry : entries(text)) {
        if (entry.first == "log/file")
            named.append(QString::fromUtf8(entry.second));
    }
    if (named.size() != 1)
        return QString();
    QString file = named.first();
    if (file.size() > 1 && file.startsWith(QLatin1Char('"')) && file.endsWith(QLatin1Char('"')))
        file = file.mid(1, file.size() - 2);
    return logPath(file);
}

// A list value: QSettings splits at commas by itself unless the value is quoted.
QString joined(const QVariant &value)
{
    return value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                      : value.toString();
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
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.trimmed().isEmpty())
        dirs = QStringLiteral("/etc/xdg");
    return dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
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
    const QString why = unreachable(path);
    if (!why.isEmpty())
        return fail(QStringLiteral("file"), why);
    QFile raw(path);
    if (!raw.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("file"), QStringLiteral("cannot be read"));
    const QByteArray text = raw.readAll();
    const bool byteOrderMark = text.startsWith("\xEF\xBB\xBF");
    log = namedLogFile(byteOrderMark ? text.mid(3) : text);
    if (byteOrderMark)
        return fail(QStringLiteral("file"), QStringLiteral("begins with a UTF-8 byte order mark "
                                                           "(save it without one)"));
    const QString twice = repeatedKey(text);
    if (!twice.isEmpty())
        return fail(twice, QStringLiteral("given twice"));
    QSettings settings(path, QSettings::IniFormat);
    const QStringList given = settings.allKeys();
    if (settings.status() != QSettings::NoError)
        return fail(QStringLiteral("file"), settings.status() == QSettings::AccessError
                                                ? QStringLiteral("cannot be read")
                                                : QStringLiteral("is not an INI file (comments "
                                                                 "begin with \";\")"));
    for (const QString &key : given) {
        if (std::none_of(std::begin(keys), std::end(keys),
                         [&](const Key &known) { return key == QLatin1String(known.name); }))
            return fail(key, key.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('#'))
                                 ? QStringLiteral("unknown key (comments begin with \";\")")
                                 : QStringLiteral("unknown key"));
    }
    keysSet = given.size();

    for (const Key &key : keys) {
        if (!key.choice)
            continue;
        const QStringList words{QLatin1String(key.words[0]), QLatin1String(key.words[1])};
        const QString value =
            joined(settings.value(QLatin1String(key.name), words.first())).trimmed();
        if (!words.contains(value))
            return fail(QLatin1String(key.name), QStringLiteral("\"%1\" is not one of %2")
                                                     .arg(value, words.join(QStringLiteral(", "))));
        this->*key.choice = value == words.last();
    }

    if (settings.contains(QStringLiteral("network/origins"))) {
        const QString listed = joined(settings.value(QStringLiteral("network/origins")));
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
        if (!settings.contains(key))
            return true;
        const QString given = joined(settings.value(key)).trimmed();
        bool number = false;
        *into = given.toInt(&number);
        if (number && *into >= least && *into <= most)
            return true;
        return fail(key, QStringLiteral("\"%1\" is not a number of MiB from %2 to %3")
                             .arg(given)
                             .arg(least)
                             .arg(most));
    };
    // Below 32 MiB a library hardly loads; above 64 GiB is no bound.
    if (!mebibytes(QStringLiteral("reader/memory"), 32, 65536, &memoryMiB) ||
        !mebibytes(QStringLiteral("log/size"), 1, 65536, &logMiB))
        return false;

    log.clear();
    if (settings.contains(QStringLiteral("log/file"))) {
        const QString named = joined(settings.value(QStringLiteral("log/file"))).trimmed();
        log = logPath(named);
        if (log.isEmpty())
            return fail(QStringLiteral("log/file"),
                        QStringLiteral("\"%1\" is not an absolute path or one in ~/").arg(named));
    }
    return true;
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
    normal.setHost(url.host().toLower());
    normal.setPort(port);
    return normal.toString();
}
