#pragma once

#include <QString>

// What the main window's backfill queue pump remembers between its calls. There
// is one pump per process; everything but the warning flag is cleared when a run
// ends or a Stop is honoured.
struct BackfillPumpState
{
    bool busy = false;            // guards against re-entry from a nested event loop
    bool warnedOnce = false;      // the long-backfill warning was shown in this process
    bool currentJobIsEod = false; // kind of the job now downloading
    bool barPrepared = false;     // style and first caption set for this run
    bool textVisible = false;     // bar text switched on for this run
    QString lastIntradaySymbols;  // symbols of the last intraday job; captions of end-of-day jobs
    bool jobInFlight = false;     // a queued job was handed to the downloader and has not ended
    bool dialogJob = false;       // the downloader works for the end-of-day dialog, not the queue

    // Forget the run (the warning flag stays).
    void resetRun();

    static BackfillPumpState &instance();
};
