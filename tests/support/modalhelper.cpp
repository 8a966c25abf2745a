#include "modalhelper.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace {

QString describe(QWidget *w)
{
    if (auto *box = qobject_cast<QMessageBox *>(w))
        return box->windowTitle() + QLatin1Char('|') + box->text();
    return w->windowTitle() + QLatin1Char('|');
}

void close(QWidget *w)
{
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        QAbstractButton *button = box->defaultButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().first();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto *dialog = qobject_cast<QDialog *>(w)) {
        dialog->accept();
        return;
    }
    w->close();
}

} // namespace

ModalAcceptor::ModalAcceptor(int intervalMs, QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(intervalMs);
    connect(m_timer, &QTimer::timeout, this, &ModalAcceptor::poll);
    m_timer->start();
}

ModalAcceptor::~ModalAcceptor() = default;

void ModalAcceptor::stop()
{
    m_timer->stop();
}

void ModalAcceptor::poll()
{
    QWidget *w = QApplication::activeModalWidget();
    if (!w)
        return;
    m_seen << describe(w);
    close(w);
}

void acceptNextModal(QString *seen, int delayMs)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(qMax(5, delayMs));
    QObject::connect(timer, &QTimer::timeout, timer, [timer, seen]() {
        QWidget *w = QApplication::activeModalWidget();
        if (!w)
            return;
        if (seen)
            *seen = describe(w);
        close(w);
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}
