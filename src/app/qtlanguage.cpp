#include "qtlanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

bool installQtTranslation(const QLocale &locale)
{
    static QPointer<QTranslator> installed;
    delete installed;
#if QT_VERSION_MAJOR < 6
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#endif
    auto *translator = new QTranslator(QCoreApplication::instance());
    // qtbase_zh_CN.qm and the like: the texts of Qt Core, Gui and Widgets.
    if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
}
