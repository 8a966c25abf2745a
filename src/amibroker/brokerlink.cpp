#include "brokerlink.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

Q_LOGGING_CATEGORY(lcAmi, "quillmark.amibroker", QtInfoMsg)

BrokerLink::BrokerLink(const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_databasePath(databasePath)
    , m_stateSince(QDateTime::currentDateTime())
{
    m_recreateTimer = new QTimer(this);
    m_recreateTimer->setObjectName(QStringLiteral("brokerRecreate"));
    m_recreateTimer->setInterval(RecreateEveryMs);
    connect(m_recreateTimer, &QTimer::timeout, this, &BrokerLink::recreate);

    m_object = createBrokerObject();
    if (!m_object) {
        qCWarning(lcAmi) << "AmiBroker's automation object is not available; trying again every"
                         << RecreateEveryMs << "ms";
        setState(State::Gone);
        m_recreateTimer->start();
    }
}

BrokerLink::~BrokerLink()
{
    release();
}

void BrokerLink::setRecreateInterval(int ms)
{
    m_recreateTimer->setInterval(ms);
}

void BrokerLink::setRetryRules(int everyMs, int budgetMs)
{
    m_retryEveryMs = qMax(1, everyMs);
    m_retryBudgetMs = qMax(0, budgetMs);
}

void BrokerLink::stopRecreating()
{
    m_recreating = false;
    m_recreateTimer->stop();
}

Broker::Reply BrokerLink::call(const QString &function, const QVariant &arg)
{
    using Broker::Outcome;
    if (!m_object)
        return Broker::Reply{Outcome::Gone, QVariant()};

    // The whole budget for the first refused call of a stretch only.
    const bool firstOfStretch = m_state != State::Busy;
    QElapsedTimer waited;
    waited.start();
    Broker::Reply reply;
    for (;;) {
        // Where COM itself retries (Windows' message filter) it gets what is left
        // of the budget; where the refusal comes straight back, we retry here.
        m_object->setRetryBudgetMs(firstOfStretch ? int(qMax<qint64>(0, m_retryBudgetMs - waited.elapsed())) : 0);
        reply = m_object->call(function, arg);
        if (reply.outcome != Outcome::Busy)
            break;
        if (firstOfStretch && m_state != State::Busy)
            qCInfo(lcAmi) << "AmiBroker refused" << function << "(busy); trying again for up to"
                          << m_retryBudgetMs << "ms";
        setState(State::Busy);
        if (!firstOfStretch || waited.elapsed() + m_retryEveryMs > m_retryBudgetMs)
            break;
        QThread::msleep(static_cast<unsigned long>(m_retryEveryMs));
    }

    switch (reply.outcome) {
    case Outcome::Busy:
        if (firstOfStretch)
            qCWarning(lcAmi) << "AmiBroker still busy after" << waited.elapsed() << "ms:" << function << "not made";
        break;
    case Outcome::Gone:
        qCWarning(lcAmi) << "AmiBroker has gone (" << function << "); making a new automation object every"
                         << m_recreateTimer->interval() << "ms";
        release();
        setState(State::Gone);
        if (m_recreating)
            m_recreateTimer->start();
        break;
    case Outcome::Done:
    case Outcome::Failed:
        if (m_state != State::Answering) {
            qCInfo(lcAmi) << "AmiBroker answers again";
            setState(State::Answering);
            emit answeringAgain();
        }
        break;
    }
    return reply;
}

Broker::Reply BrokerLink::loadDatabase()
{
    return call(QStringLiteral("LoadDatabase(QString&)"), m_databasePath);
}

void BrokerLink::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    m_stateSince = QDateTime::currentDateTime();
    emit stateChanged(state, m_stateSince);
}

void BrokerLink::release()
{
    delete m_object;
    m_object = nullptr;
}

void BrokerLink::recreate()
{
    if (!m_recreating || m_object) {
        m_recreateTimer->stop();
        return;
    }
    m_object = createBrokerObject();
    if (!m_object)
        return; // not yet: the timer tries again
    m_recreateTimer->stop();
    qCInfo(lcAmi) << "made AmiBroker's automation object again; opening" << m_databasePath;
    // As the Connect press does; its outcome moves the state on (answering, busy,
    // or gone again and another try later).
    loadDatabase();
}
