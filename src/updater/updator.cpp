#include "updator.h"

#include "common/installfiles.h"
#include "common/messagebox.h"
#include "common/settingskeys.h"
#include "platform/installroot.h"
#include "platform/restartscript.h"

#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QDateTime>
#include <QSettings>
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

bool updator::shouldUpdate(const QString &running, const QString &latest)
{
    if (!isUpdateDue(running, latest))
        return false;
    QSettings settings;
    if (settings.value(QLatin1String(Keys::RefusedUpdateVersion), QString()).toString() != latest)
        return true;
    const QDateTime refusedAt =
        QDateTime::fromString(settings.value(QLatin1String(Keys::RefusedUpdateTime), QString()).toString(), Qt::ISODate);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // A clock set back makes a refusal look as if it came from the future: try again then too.
    if (!refusedAt.isValid() || refusedAt > now || refusedAt.secsTo(now) >= RefusedRetrySecs)
        return true;
    qCInfo(lcUpdater).noquote() << QStringLiteral("release %1 was refused at %2; not fetched again before %3")
                                       .arg(latest, refusedAt.toString(Qt::ISODate),
                                            refusedAt.addSecs(RefusedRetrySecs).toString(Qt::ISODate));
    return false;
}

void updator::rememberRefusedRelease(const QString &version)
{
    QSettings settings;
    settings.setValue(QLatin1String(Keys::RefusedUpdateVersion), version);
    settings.setValue(QLatin1String(Keys::RefusedUpdateTime), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
}

QString updator::countdownText(int seconds)
{
    return QStringLiteral("Update is ready. Restarting in %1 sec...").arg(seconds);
}

QString updator::takeFailedUpdateNote()
{
    const QString path = Platform::installPathFwd(QLatin1String(InstallFiles::UpdateFailedNote));
    QFile file(path);
    if (!file.exists())
        return QString();
    QString note;
    if (file.open(QIODevice::ReadOnly))
        note = QString::fromLocal8Bit(file.read(4096)).trimmed();
    file.close();
    if (!QFile::remove(path))
        qCWarning(lcUpdater) << "cannot remove" << path;
    return note.isNull() ? QStringLiteral("") : note;
}

QString updator::failedUpdateText(const QString &note)
{
    QString text = QStringLiteral("The last update could not be installed. Quillmark %1 was kept and runs as before.")
                       .arg(QCoreApplication::applicationVersion());
    if (!note.isEmpty())
        text += QStringLiteral("\n\n") + note;
    return text;
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

void updator::start(const QString &latestVersion, const QString &latestVersionPath, QWidget *controller)
{
    m_controller = controller;
    qCInfo(lcUpdater).noquote() << "update to" << latestVersion << "announced, archive" << latestVersionPath;

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
    worker->setAnnouncedVersion(latestVersion);
    auto *thread = new QThread(controller);
    thread->setObjectName(QStringLiteral("UpdatorWorker"));
    worker->moveToThread(thread);
    connect(worker, &UpdatorWorker::releaseRefused, this, &updator::rememberRefusedRelease);
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

    installStagedRestartScript();
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

void updator::installStagedRestartScript()
{
    // The script that moves the staged release into place normally comes with the
    // installation; an installation without one takes the release's own, which
    // replaces nothing.
    if (Platform::scriptExists())
        return;
    const QString name = QFileInfo(Platform::restartScriptPath()).fileName();
    const QString staged =
        Platform::installPathFwd(QLatin1String(InstallFiles::UpdateStaging) + QLatin1Char('/') + name);
    if (QFileInfo(staged).isFile() && !QFile::rename(staged, Platform::restartScriptPath()))
        qCWarning(lcUpdater) << "cannot move the staged restart script into place";
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
