#include "feedsimupdate.h"

#include "feedsim.h"
#include "httpserver.h"
#include "zipwriter.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcFeedSimUpdate, "feedsim.update")

FeedSimUpdate::FeedSimUpdate(HttpServer *server, const FeedSimOptions *options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_launchScript(defaultLaunchScript())
{
    server->addRoute(QLatin1String(Route), [this](const HttpRequest &request, HttpResponder *responder) {
        handle(request, responder);
    });
}

UpdateAnswer FeedSimUpdate::answer() const
{
    if (m_options && m_options->brokenUpdate)
        return UpdateAnswer::Truncated;
    return m_answer;
}

bool FeedSimUpdate::offering() const
{
    return m_options && m_options->offerUpdate && m_delivered == 0;
}

QByteArray FeedSimUpdate::markerContent()
{
    return QByteArray("Quillmark ") + OfferedVersion + " update from the reference server\n";
}

QByteArray FeedSimUpdate::archive() const
{
    ZipWriter zip;
    zip.addFile(MarkerName, markerContent());
    zip.addFile(LaunchScriptName, m_launchScript);
    return zip.archive();
}

void FeedSimUpdate::handle(const HttpRequest &request, HttpResponder *responder)
{
    ++m_requests;
    emit archiveRequested(request.path);
    if (request.path != QLatin1String(ArchivePath)) {
        responder->respond(404, "text/plain", "Not Found\n");
        return;
    }
    const UpdateAnswer mode = answer();
    qCDebug(lcFeedSimUpdate) << "update archive requested, mode" << int(mode);
    switch (mode) {
    case UpdateAnswer::Normal:
        responder->respond(200, "application/zip", archive());
        ++m_delivered;
        break;
    case UpdateAnswer::Truncated: {
        // Cut inside the second entry: the central directory is gone.
        const QByteArray whole = archive();
        responder->respond(200, "application/zip", whole.left(whole.size() * 2 / 3));
        break;
    }
    case UpdateAnswer::NotFound:
        responder->respond(404, "text/plain", "Not Found\n");
        break;
    case UpdateAnswer::Stall:
        break; // the client has to give up on its own
    }
}

QByteArray FeedSimUpdate::defaultLaunchScript()
{
    // The release's own restart script: the same job as the installed one, so a
    // demo run comes back after the update (the program is $QUILLMARK_BIN, a file
    // or a folder holding "quillmark", else <root>/bin/quillmark).
    return QByteArrayLiteral(R"SH(#!/bin/sh
# Restart after an update: wait (about 30 s at most) until no quillmark process of
# this install root runs, then start the program again, detached.
ROOT=$(cd "$(dirname "$0")" && pwd -P) || exit 1
DEFAULT_ROOT=${HOME:-/nonexistent}/.local/share/Quillmark
BIN=${QUILLMARK_BIN:-$ROOT/bin}
[ -d "$BIN" ] && BIN=$BIN/quillmark
old_process_running() {
    for dir in /proc/[0-9]*; do
        name=
        read -r name 2>/dev/null <"$dir/comm" || continue
        [ "$name" = quillmark ] || continue
        its_root=$(tr '\0' '\n' <"$dir/environ" 2>/dev/null | sed -n 's/^QUILLMARK_ROOT=//p' | head -n 1)
        [ -n "$its_root" ] || its_root=$DEFAULT_ROOT
        its_root=$(cd "$its_root" 2>/dev/null && pwd -P) || continue
        [ "$its_root" = "$ROOT" ] && return 0
    done
    return 1
}
tries=0
while old_process_running && [ "$tries" -lt 30 ]; do
    sleep 1
    tries=$((tries + 1))
done
[ -x "$BIN" ] || { echo "QuillLaunch.sh: no program at $BIN" >&2; exit 1; }
QUILLMARK_ROOT=$ROOT
export QUILLMARK_ROOT
cd "$ROOT" || exit 1
if command -v setsid >/dev/null 2>&1; then
    setsid "$BIN" </dev/null >/dev/null 2>&1 &
else
    nohup "$BIN" </dev/null >/dev/null 2>&1 &
fi
exit 0
)SH");
}
