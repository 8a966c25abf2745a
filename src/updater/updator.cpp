#include "updator.h"

#include "app/messagebox.h"
#include "platform/restartscript.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QWidget>

Q_DECLARE_LOGGING_CATEGORY(lcUpdater)

updator::updator(QObject *parent)
    : QObject(parent)
    , m_quit([] { QCoreApplication::exit(0); })
{
}

updator::~updator()
{
    stopWorkerThread();
}

bool updator::isUpdateDue(const QString &running, const QString &latest)
{
    return QString::compare(running, latest, Qt::CaseSensitive) < 0;
}

QString updator::countdownText(int seconds)
{
    return QStringLiteral("Update is ready. Restarting in %1 sec...").arg(seconds);
}

void updator::setQuitFunction(std::function<void()> quit)
{
    m_quit = std::move(quit);
}

QMessageBox *updator::countdownBox() const
{
    return m_countdownBox;
}

QTimer *updator::countdownTimer() const
{
    return m_countdownTimer;
}

QThread *updator::workerThread() const
{
    return m_thread;
}

void updator::start(const QString &latestVersionPath, QWidget *controller)
{
    m_controller = controller;
    qCInfo(lcUpdater).noquote() << "update announced, archive" << latestVersionPath;

    {
        QMessageBox box(controller);
        box.setIcon(QMessageBox::Information);
        box.setWindowTitle(QStringLiteral("New Update"));
        box.setText(QStringLiteral("A Latest Update is Available\nApplication Will Restart after Update."));
        box.setStandardButtons(QMessageBox::Ok);
        styleMessageBox(box);
        auto *closer = new QTimer(&box);
        closer->setSingleShot(true);
        connect(closer, &QTimer::timeout, &box, [&box, closer] {
            box.accept();
            closer->deleteLater();
        });
        closer->start(AnnouncementCloseMs);
        box.exec();
    }

    auto *worker = new UpdatorWorker;
    worker->setLimits(m_limits);
    auto *thread = new QThread(controller);
    thread->setObjectName(QStringLiteral("UpdatorWorker"));
    worker->moveToThread(thread);
    connect(worker, &UpdatorWorker::downloadFinished, this, &updator::onDownloadFinished);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    // The thread dies with the controller; it must not be running by then.
    if (controller)
        connect(controller, &QObject::destroyed, this, &updator::stopWorkerThread);
    m_worker = worker;
    m_thread = thread;
    thread->start();
    QMetaObject::invokeMethod(worker, "startDownload", Qt::QueuedConnection, Q_ARG(QString, latestVersionPath));
}

void updator::onDownloadFinished(bool ok, const QString &text)
{
    if (m_worker)
        m_worker->deleteLater();
    if (m_thread)
        m_thread->quit();
    m_worker = nullptr;

    if (!ok) {
        qCWarning(lcUpdater).noquote() << "update failed:" << text;
        abandon(text);
        return;
    }
    showCountdown();
}

void updator::showCountdown()
{
    auto *box = new QMessageBox(m_controller);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(QStringLiteral("Update ready"));
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    m_countdown = CountdownStart;
    box->setText(countdownText(m_countdown));

    auto *timer = new QTimer(box);
    timer->setInterval(CountdownTickMs);
    connect(timer, &QTimer::timeout, box, [this, box] {
        --m_countdown;
        if (m_countdown <= 0)
            box->accept();
        else
            box->setText(countdownText(m_countdown));
    });
    // Whatever ends the box (the countdown, Ok, the close button) restarts.
    connect(box, &QDialog::finished, this, &updator::restartStep);

    m_countdownBox = box;
    m_countdownTimer = timer;
    timer->start();
    box->show();
    emit updateReady();
}

void updator::restartStep()
{
    if (m_countdownTimer) {
        m_countdownTimer->stop();
        m_countdownTimer->deleteLater();
    }
    m_countdownTimer = nullptr;
    m_countdown = 0;

    if (!Platform::scriptExists()) {
        abandon(QStringLiteral("Restart script missing"));
        return;
    }
    if (!Platform::startRestartScript()) {
        abandon(QStringLiteral("Restart script could not be started"));
        return;
    }
    qCInfo(lcUpdater) << "restart script started; quitting";
    emit restarting();
    if (m_quit)
        m_quit();
}

void updator::abandon(const QString &reason)
{
    showMessageBox(m_controller, 2, QStringLiteral("Update failed"), reason, QMessageBox::Ok);
    emit updateAbandoned(reason);
}

void updator::stopWorkerThread()
{
    if (m_thread && m_thread->isRunning()) {
        // Only reached when the sequence is torn down mid-download; quitting also
        // ends the worker's wait, which then reports a failed download.
        m_thread->quit();
        m_thread->wait();
    }
    // The thread has ended, so its worker can go from here.
    delete m_worker.data();
    m_worker = nullptr;
}
