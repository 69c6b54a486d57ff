#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>

ModalAnswerer::ModalAnswerer(QMessageBox::StandardButton answer, QObject *parent)
    : QObject(parent), answer(answer)
{
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start(10);
}

void ModalAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    timer.stop();
    answered = true;
    title = box->windowTitle();
    text = box->text();
    buttons = box->standardButtons();
    for (const QAbstractButton *button : box->buttons())
        buttonTexts.append(button->text());
    buttonTexts.sort();
    icon = box->icon();
    hadParent = box->parentWidget() != nullptr;
    if (answer == QMessageBox::NoButton)
        box->close();
    else if (QAbstractButton *button = box->button(answer))
        button->click();
    else
        box->close();
}
