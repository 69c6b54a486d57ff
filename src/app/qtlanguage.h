#ifndef QTLANGUAGE_H
#define QTLANGUAGE_H

#include <QLocale>

// Puts Qt's own texts (the standard buttons of a message box, Qt's dialogs)
// into the language of the locale, from Qt's translation in Qt's
// translations folder; the service's own texts are fixed and stay as they
// are. Without a translation for the locale Qt's texts stay English, without
// a word. A second call replaces the first one's translation.
bool installQtTranslation(const QLocale &locale = QLocale());

#endif // QTLANGUAGE_H
