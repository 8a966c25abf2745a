#pragma once

#include "platform/brokerautomation.h"
#include "platform/brokercall.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVariant>

class QTimer;

// Our one hold on AmiBroker's automation object, on the thread that owns it: every
// call goes through here. AmiBroker is a program of its own, so the link
// - tries a call AmiBroker refuses as busy again, every Broker::RetryEveryMs for up
//   to Broker::RetryBudgetMs, once per stretch of refusals: while AmiBroker stays
//   busy, later calls get one try each, so nobody waits the budget twice;
// - lets go of an object whose process has ended and makes a new one every
//   RecreateEveryMs (which starts AmiBroker again where Windows can), opening the
//   database in it as the Connect press does;
// - tells the outcome of every call, and AmiBroker's state, to whoever asks.
// It lives on, and must only be used on, the automation object's thread.
class BrokerLink : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BrokerLink)

public:
    enum class State {
        Answering, // the last call was taken or answered
        Busy,      // AmiBroker refuses calls (a modal dialog)
        Gone,      // there is no AmiBroker to call; a new one is made every RecreateEveryMs
    };
    Q_ENUM(State)

    static constexpr int RecreateEveryMs = 5000;

    // Makes the automation object at once; databasePath is what a new object opens.
    explicit BrokerLink(const QString &databasePath, QObject *parent = nullptr);
    ~BrokerLink() override;

    // The call, tried again while AmiBroker is busy (see above). Gone at once while
    // there is no object.
    Broker::Reply call(const QString &function, const QVariant &arg = QVariant());

    // "LoadDatabase(QString&)" with the database folder.
    Broker::Reply loadDatabase();

    State state() const { return m_state; }
    bool hasObject() const { return m_object != nullptr; }
    // When the present state began (wall clock, for the trader's messages).
    QDateTime stateSince() const { return m_stateSince; }

    // Stops making new objects (the window closes: AmiBroker must not be started
    // for a program on its way out).
    void stopRecreating();

    // Tests reach the object itself (to make it misbehave, or to time it).
    BrokerAutomation *object() const { return m_object; }
    // Tests shorten the pause between attempts to make a new object, and the retries.
    void setRecreateInterval(int ms);
    void setRetryRules(int everyMs, int budgetMs);

signals:
    // AmiBroker's state changed; since is when (wall clock).
    void stateChanged(BrokerLink::State state, const QDateTime &since);
    // AmiBroker answers again after it was busy or gone: what waited for it can go on.
    void answeringAgain();

private:
    void setState(State state);
    void release();
    void recreate();

    QString m_databasePath;
    BrokerAutomation *m_object = nullptr;
    QTimer *m_recreateTimer = nullptr;
    bool m_recreating = true;
    int m_retryEveryMs = Broker::RetryEveryMs;
    int m_retryBudgetMs = Broker::RetryBudgetMs;
    State m_state = State::Answering;
    QDateTime m_stateSince;
};
