#include "feedsimupdate.h"

#include "common/installfiles.h"
#include "feedsim.h"
#include "httpserver.h"
#include "releasesigner.h"
#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

Q_LOGGING_CATEGORY(lcFeedSimUpdate, "feedsim.update")

FeedSimUpdate::FeedSimUpdate(HttpServer *server, const FeedSimOptions *options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_launchScript(defaultLaunchScript())
    , m_signingKey(defaultSigningKey())
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

QByteArray FeedSimUpdate::defaultSigningKey()
{
    QString path = qEnvironmentVariable("QUILLMARK_RELEASE_KEY");
    if (path.isEmpty())
        path = QStringLiteral(FEEDSIM_RELEASE_TEST_KEY);
    if (path.isEmpty())
        return QByteArray();
    QString error;
    const QByteArray key = ReleaseSigner::readSecretKey(path, &error);
    if (key.isEmpty())
        qCWarning(lcFeedSimUpdate).noquote() << "the update archive goes out unsigned:" << error;
    return key;
}

QString FeedSimUpdate::releaseVersion() const
{
    if (!m_releaseVersion.isEmpty())
        return m_releaseVersion;
    if (m_options && m_options->latestVersion != FeedSimOptions().latestVersion)
        return m_options->latestVersion;
    return QString::fromLatin1(OfferedVersion);
}

FeedSimUpdate::Files FeedSimUpdate::releaseFiles() const
{
    Files files = m_extraFiles;
    files.insert(QLatin1String(MarkerName), markerContent());
    files.insert(QLatin1String(LaunchScriptName), m_launchScript);
    if (!m_signingKey.isEmpty()) {
        // Signed the way the package script signs: the files laid out in a folder.
        QTemporaryDir dir;
        QString error;
        bool written = dir.isValid();
        for (auto it = files.cbegin(); written && it != files.cend(); ++it) {
            QFile file(dir.filePath(it.key()));
            written = QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly)
                      && file.write(it.value()) == it.value().size();
        }
        if (!written || !ReleaseSigner::signFolder(dir.path(), releaseVersion(), m_signingKey, &error)) {
            qCWarning(lcFeedSimUpdate).noquote() << "cannot sign the release:" << error;
        } else {
            for (const char *name : {InstallFiles::ReleaseManifest, InstallFiles::ReleaseSignature}) {
                QFile file(dir.filePath(QLatin1String(name)));
                files.insert(QLatin1String(name), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
            }
        }
    }
    if (m_tamper)
        m_tamper(files);
    return files;
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
    const Files files = releaseFiles();
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        zip.addFile(it.key().toUtf8(), it.value());
    return zip.archive();
}

void FeedSimUpdate::answerEndlessly(HttpResponder *responder)
{
    // Zeros in 1 MiB pieces, paced by what the socket has taken, until the client goes.
    responder->begin(200, "application/zip");
    QPointer<HttpResponder> alive(responder);
    auto *pump = new QTimer(this);
    connect(pump, &QTimer::timeout, this, [alive, pump] {
        if (!alive || !alive->isConnected()) {
            pump->deleteLater();
            pump->stop();
            return;
        }
        static const QByteArray piece(1024 * 1024, '\0');
        while (alive->bytesToWrite() < 4 * piece.size())
            alive->write(piece);
    });
    pump->start(1);
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
    case UpdateAnswer::Endless:
        answerEndlessly(responder);
        break;
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
