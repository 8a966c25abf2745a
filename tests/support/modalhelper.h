#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;

// Accepts modal boxes and dialogs from a timer, so code paths that run a modal
// loop can be tested. Every box it closes is recorded as "title|text".
class ModalAcceptor : public QObject
{
    Q_OBJECT
public:
    // Keeps accepting until destroyed (or stop()); polls every intervalMs.
    explicit ModalAcceptor(int intervalMs = 20, QObject *parent = nullptr);
    ~ModalAcceptor() override;

    void stop();
    QStringList seen() const { return m_seen; }
    int count() const { return m_seen.size(); }

private:
    void poll();

    QTimer *m_timer = nullptr;
    QStringList m_seen;
};

// Accepts the next modal widget only; returns what it saw through the recorder.
void acceptNextModal(QString *seen = nullptr, int delayMs = 0);
