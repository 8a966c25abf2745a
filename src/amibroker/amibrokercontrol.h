#pragma once

#include <QObject>

#include <functional>

class liveDataUpdator;

// What becomes of AmiBroker when the trader closes or restarts the window: the
// ticks still waiting go in, AmiBroker is told to save (command 33029) and, when
// the trader lets us control it, saves its database and layout and is ended.
// AmiBroker busy or gone never holds the close up: without AmiBroker the calls
// are skipped, a busy one costs the retry budget once.
class AmiBrokerControl : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AmiBrokerControl)

public:
    // AmiBroker's save-everything command.
    static constexpr int SaveCommand = 33029;

    // controlWanted: whether the trader lets us control AmiBroker now;
    // giveUpControl: clears that (and its stored key), so that the next start does
    // not end AmiBroker at its own close.
    AmiBrokerControl(liveDataUpdator *updater, std::function<bool()> controlWanted,
                     std::function<void()> giveUpControl, QObject *parent = nullptr);

    // The stream has ended: what still waits for AmiBroker is imported before it saves.
    void importWaitingTicks();
    // The window closes: the save command, then under control the database and
    // layout saved, hideWindow run, a pause, and every AmiBroker process ended.
    void close(const std::function<void()> &hideWindow);
    // The window restarts the program: under control AmiBroker's work is saved and
    // control given up, AmiBroker left running.
    void restart();

private:
    void saveWork();

    liveDataUpdator *m_updater;
    std::function<bool()> m_controlWanted;
    std::function<void()> m_giveUpControl;
};
