#include "feedsimupdate.h"

#include <QFile>

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
    if (m_options && !m_options->updateArchiveFile.isEmpty()) {
        QFile file(m_options->updateArchiveFile);
        if (!file.open(QIODevice::ReadOnly)) {
            qCWarning(lcFeedSimUpdate) << "cannot read the release archive" << m_options->updateArchiveFile;
            return QByteArray();
        }
        return file.readAll();
    }
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
    case UpdateAnswer::Escaping: {
        ZipWriter zip;
        zip.addFile(MarkerName, markerContent());
        zip.addFile(EscapingName, "written outside the install folder\n");
        zip.addFile(LaunchScriptName, m_launchScript);
        responder->respond(200, "application/zip", zip.archive());
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
    // The release's own restart script is the one we ship, so a demo run comes back
    // after the update.
    Q_INIT_RESOURCE(feedsim);
    QFile script(QStringLiteral(":/feedsim/QuillLaunch.sh"));
    return script.open(QIODevice::ReadOnly) ? script.readAll() : QByteArray();
}
