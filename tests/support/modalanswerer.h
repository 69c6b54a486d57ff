#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Answers the next modal message box from a timer, the way a user would, and
// remembers what it showed. Needed because QMessageBox::exec() blocks the test.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    // Press this button; QMessageBox::NoButton closes the box from its title bar.
    explicit ModalAnswerer(QMessageBox::StandardButton answer, QObject *parent = nullptr);

    bool answered = false;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QStringList buttonTexts; // sorted
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool hadParent = false;

private:
    void poll();

    QMessageBox::StandardButton answer;
    QTimer timer;
};

#endif // MODALANSWERER_H
