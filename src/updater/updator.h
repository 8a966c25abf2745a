#pragma once

#include "updatorworker.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMessageBox;
class QThread;
class QTimer;
class QWidget;

// The update sequence the start-up controller runs in place of the normal start-up
// when the server names a newer release: the announcement, the download and unpack
// on a worker thread, the countdown and the restart through the restart script.
// A failed update, or one that cannot restart, is shown to the user and ends in
// updateAbandoned(), after which the controller carries on with the normal start-up.
class updator : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(updator)
public:
    static constexpr int AnnouncementCloseMs = 5000;
    static constexpr int CountdownStart = 5;
    static constexpr int CountdownTickMs = 1000;

    explicit updator(QObject *parent = nullptr);
    ~updator() override;

    // An update is due when the running version sorts before the latest one, compared
    // as plain text (UTF-16 code units): "7.3" is newer than "7.26", "10.0" is not.
    static bool isUpdateDue(const QString &running, const QString &latest);

    // A release the worker refused (unverifiable or damaged) is not fetched again for
    // this long: the same server would hand over the same bytes at every start.
    static constexpr qint64 RefusedRetrySecs = 24 * 60 * 60;
    // Whether to update now: due, and not the release refused in the last RefusedRetrySecs.
    static bool shouldUpdate(const QString &running, const QString &latest);
    static void rememberRefusedRelease(const QString &version);

    // Shows the modal announcement (it closes itself after AnnouncementCloseMs), then
    // starts the worker on a thread parented to the controller and returns. The
    // release must be the announced `latestVersion`.
    void start(const QString &latestVersion, const QString &latestVersionPath, QWidget *controller);

    static QString countdownText(int seconds);

    // The restart script's note of a staged release it could not move into place,
    // taken (the file is removed, so it is reported once), or a null text when the
    // last update went well.
    static QString takeFailedUpdateNote();
    // What the trader is told at the start after such an update.
    static QString failedUpdateText(const QString &note);

    // For tests: the worker's limits, and what ends the event loop after the
    // restart script has been started (by default the application's exit with 0).
    void setWorkerLimits(const UpdatorWorker::Limits &limits) { m_limits = limits; }
    void setQuitFunction(std::function<void()> quit);

    QMessageBox *countdownBox() const;
    QTimer *countdownTimer() const;
    QThread *workerThread() const;
    int countdown() const { return m_countdown; }

signals:
    // The archive has been unpacked; the countdown box is showing.
    void updateReady();
    // The restart script has been started; the event loop is being ended.
    void restarting();
    // The update did not happen (reason shown to the user); start up normally.
    void updateAbandoned(const QString &reason);

private:
    void onDownloadFinished(bool ok, const QString &text);
    void showCountdown();
    void restartStep();
    void installStagedRestartScript();
    void abandon(const QString &reason);
    void stopWorkerThread();

    UpdatorWorker::Limits m_limits;
    std::function<void()> m_quit;
    QPointer<QWidget> m_controller;
    QPointer<QThread> m_thread;
    QPointer<UpdatorWorker> m_worker;
    QPointer<QMessageBox> m_countdownBox;
    QPointer<QTimer> m_countdownTimer;
    int m_countdown = 0;
};
