// The main window's live controls: the Connect press, and the stream and quote
// table following the selection; the live session does the work.
#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "live/livesession.h"
#include "platform/windowfront.h"
#include "symbols/symbolselection.h"

void quillmark2::on_connectButton_clicked()
{
    m_live->start();
    Platform::bringWindowToFront(QStringLiteral("AmiBroker"));
    // Not waited for: AmiBroker may be behind a dialog, and the window must not be.
    updater->loadDatabase();
    ui->connectButton->setEnabled(false);
}

void quillmark2::updateThreads()
{
    m_selection->noteFeed(currentFeed);
    m_live->resubscribe();
}

void quillmark2::updateDisplayTable()
{
    m_live->refreshQuotes();
}
