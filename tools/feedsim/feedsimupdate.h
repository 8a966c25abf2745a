#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>

class HttpServer;
class HttpResponder;
struct HttpRequest;
struct FeedSimOptions;

// How the update route answers.
enum class UpdateAnswer {
    Normal,    // the whole release archive
    Truncated, // the archive cut short (served whole at its short length)
    Escaping,  // the whole archive plus an entry naming a file outside the folder
    NotFound,  // HTTP 404
    Stall,     // never answers
    Endless    // an answer of unknown length that never ends
};

// The reference server's release: "/update/Quillmark_update.zip", a zip holding a
// marker file and a restart script, signed as our releases are (release.json and
// release.sig, by the key in $QUILLMARK_RELEASE_KEY, else this build's test key).
// While the options ask for it, the start-up answer names a newer version until one
// whole archive has been delivered, so a demo run updates once and then starts up
// normally.
class FeedSimUpdate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedSimUpdate)
public:
    static constexpr char Route[] = "/update/";
    static constexpr char ArchivePath[] = "/update/Quillmark_update.zip";
    static constexpr char OfferedVersion[] = "7.27";
    static constexpr char MarkerName[] = "update_marker.txt";
    static constexpr char LaunchScriptName[] = "QuillLaunch.sh";
    static constexpr char EscapingName[] = "../update_escape.txt";

    // Registers the route on the server (which must outlive this object). With
    // options, their brokenUpdate switch turns every answer into Truncated.
    explicit FeedSimUpdate(HttpServer *server, const FeedSimOptions *options = nullptr, QObject *parent = nullptr);

    void setAnswer(UpdateAnswer answer) { m_answer = answer; }
    UpdateAnswer answer() const;
    // Replaces the restart script inside the archive (tests put a harmless one there).
    void setLaunchScript(const QByteArray &script) { m_launchScript = script; }
    QByteArray launchScript() const { return m_launchScript; }

    using Files = QMap<QString, QByteArray>; // path in the release -> content
    // More files in the release (a program file, say), signed with the rest.
    void setExtraFiles(const Files &files) { m_extraFiles = files; }
    // The version release.json names: this, else the options' latest_version when
    // they name another than the default, else OfferedVersion (what the server announces).
    void setReleaseVersion(const QString &version) { m_releaseVersion = version; }
    QString releaseVersion() const;
    // The secret key that signs the release (an empty key: no release.json, no release.sig).
    void setSigningKey(const QByteArray &secretKey) { m_signingKey = secretKey; }
    QByteArray signingKey() const { return m_signingKey; }
    // Changes the release's files after signing, as someone on the way would.
    void setTamper(std::function<void(Files &)> tamper) { m_tamper = std::move(tamper); }
    // The files of the generated archive, as served.
    Files releaseFiles() const;
    // The key of $QUILLMARK_RELEASE_KEY, else of this build's test key pair; empty
    // when neither can be read.
    static QByteArray defaultSigningKey();

    // Whether the start-up answer names OfferedVersion now.
    bool offering() const;

    QByteArray archive() const;
    static QByteArray markerContent();
    static QByteArray defaultLaunchScript();

    int requestCount() const { return m_requests; }
    int deliveredCount() const { return m_delivered; }

signals:
    void archiveRequested(const QString &path);

private:
    void handle(const HttpRequest &request, HttpResponder *responder);

    void answerEndlessly(HttpResponder *responder);

    const FeedSimOptions *m_options;
    UpdateAnswer m_answer = UpdateAnswer::Normal;
    QByteArray m_launchScript;
    Files m_extraFiles;
    QString m_releaseVersion;
    QByteArray m_signingKey;
    std::function<void(Files &)> m_tamper;
    int m_requests = 0;
    int m_delivered = 0;
};
