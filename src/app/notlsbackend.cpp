#include "notlsbackend.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QtGlobal>

#if QT_VERSION_MAJOR >= 6
#include <QSslSocket>
#endif
#ifdef KRV_NO_TLS_BACKEND
#include <QtNetwork/private/qtlsbackend_p.h>

namespace {
// Implements nothing: Qt asks it for keys and certificates it cannot make
// and says so under qt.network.ssl, which install() silences.
class Backend final : public QTlsBackend
{
    QString backendName() const override { return QStringLiteral("none"); }
    QList<QSsl::SslProtocol> supportedProtocols() const override { return {}; }
    QList<QSsl::SupportedFeature> supportedFeatures() const override { return {}; }
    QList<QSsl::ImplementedClass> implementedClasses() const override { return {}; }
};
} // namespace
#endif

void NoTlsBackend::install()
{
#ifdef KRV_NO_TLS_BACKEND
    // Registered by its constructor. Made before the application object, so
    // that Qt does not delete it with that object: the WebSockets ended after
    // it would find no back-end and load the plug-ins after all.
    Q_ASSERT(!QCoreApplication::instance());
    static const Backend *const backend = new Backend;
    Q_UNUSED(backend);
#elif QT_VERSION_MAJOR >= 6 && QT_CONFIG(ssl)
    QSslSocket::setActiveBackend(QStringLiteral("cert-only"));
#endif
#if QT_VERSION_MAJOR >= 6
    // Every WebSocket's settings hold an empty key, which a back-end without
    // TLS cannot make: Qt would warn of it for each client.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.network.ssl.warning=false"));
#endif
}
