#include "apirequest.h"

#include "buildconfig.h"
#include "crypto/aescipher.h"
#include "platform/serverhost.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

Q_LOGGING_CATEGORY(lcApi, "quillmark.api", QtInfoMsg)

namespace {

QPointer<QNetworkAccessManager> &sharedManager()
{
    static QPointer<QNetworkAccessManager> manager;
    return manager;
}

int g_timeoutMs = ApiRequestTimeoutMs;

QByteArray passPhrase()
{
    return QByteArrayLiteral(QUILLMARK_API_PASSPHRASE);
}

// Removes PKCS#7 padding only when it is well-formed; anything else is kept.
void chopPkcs7(QByteArray &text)
{
    if (text.isEmpty())
        return;
    const int n = quint8(text.at(text.size() - 1));
    if (n < 1 || n > AesCipher::BlockSize || n > text.size())
        return;
    const char *tail = text.constData() + text.size() - n;
    for (int i = 0; i < n; ++i) {
        if (quint8(tail[i]) != n)
            return;
    }
    text.chop(n);
}

} // namespace

void setApiNetworkManager(QNetworkAccessManager *manager)
{
    sharedManager() = manager;
}

QNetworkAccessManager *apiNetworkManager()
{
    return sharedManager().data();
}

QUrl apiUrl()
{
    return QUrl(QStringLiteral("%1/api.php").arg(Platform::apiBaseUrl()));
}

void setApiRequestTimeoutMs(int ms)
{
    g_timeoutMs = ms > 0 ? ms : ApiRequestTimeoutMs;
}

int apiRequestTimeoutMs()
{
    return g_timeoutMs;
}

QByteArray apiCipherKey()
{
    static const QByteArray key = QCryptographicHash::hash(passPhrase(), QCryptographicHash::Sha256);
    return key;
}

QByteArray apiCipherIv()
{
    static const QByteArray iv =
        QCryptographicHash::hash(QByteArrayLiteral("iv_") + passPhrase(), QCryptographicHash::Sha256).left(16);
    return iv;
}

QByteArray encryptEnvelope(const QByteArray &json)
{
    QByteArray padded = json;
    const int n = AesCipher::BlockSize - json.size() % AesCipher::BlockSize;
    padded.append(n, char(n));
    // The text is already a whole number of blocks, so the ISO padding adds nothing.
    const AesCipher cipher(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    const QByteArray sealed = cipher.encrypt(padded, apiCipherKey(), apiCipherIv());
    QByteArray envelope;
    envelope.reserve(sealed.size() * 4 / 3 + 32);
    envelope += "{\"encrypted\":\"";
    envelope += sealed.toBase64();
    envelope += "\"}";
    return envelope;
}

QByteArray decryptResponse(const QByteArray &body)
{
    // A body that cannot hold an "encrypted" member comes back unchanged; this
    // spares a full parse of large plain answers (the contract list) that the
    // caller parses anyway. A key spelled with \u escapes still gets parsed.
    if (!body.contains("encrypted") && !body.contains("\\u"))
        return body;

    QByteArray sealed;
    const QByteArray trimmed = body.trimmed();
    static const QByteArray head = QByteArrayLiteral("{\"encrypted\":\"");
    static const QByteArray tail = QByteArrayLiteral("\"}");
    const int innerLength = trimmed.size() - head.size() - tail.size();
    const char *inner = trimmed.constData() + head.size();
    if (innerLength >= 0 && trimmed.startsWith(head) && trimmed.endsWith(tail)
        && !memchr(inner, '"', size_t(innerLength)) && !memchr(inner, '\\', size_t(innerLength))) {
        // The usual compact envelope: take the Base64 text as it stands instead of
        // building a JSON string of several megabytes first.
        sealed = QByteArray::fromBase64(QByteArray::fromRawData(inner, innerLength));
    } else {
        const QJsonDocument document = QJsonDocument::fromJson(body);
        if (!document.isObject())
            return body;
        const QJsonObject object = document.object();
        const auto it = object.constFind(QLatin1String("encrypted"));
        if (it == object.constEnd())
            return body;
        sealed = QByteArray::fromBase64(it.value().toString().toUtf8());
    }
    if (sealed.isEmpty())
        return body;

    const AesCipher cipher(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    QByteArray plain = cipher.decrypt(sealed, apiCipherKey(), apiCipherIv());
    chopPkcs7(plain);
    return plain;
}

namespace {

// Network failures in a trader's words; the rest as the network layer says them.
QString unreachableReason(const QNetworkReply *reply)
{
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the connection was closed");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("the connection timed out");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("no network");
    default:
        return reply->errorString();
    }
}

// Errors below the content and protocol ranges: no answer came from the server at all.
bool isNetworkFailure(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

} // namespace

QString apiFailureText(const ApiReply &reply)
{
    switch (reply.outcome) {
    case ApiOutcome::Unreachable:
        return QStringLiteral("Cannot reach the data server (%1)").arg(reply.reason);
    case ApiOutcome::TimedOut:
        return QStringLiteral("The data server did not answer within %1 s").arg((g_timeoutMs + 999) / 1000);
    case ApiOutcome::TooLarge:
        return QStringLiteral("The data server's answer was larger than %1 MB and was not read")
            .arg(MaxApiAnswerBytes / (1024 * 1024));
    case ApiOutcome::Answered:
        break;
    }
    return QStringLiteral("The data server's answer could not be read");
}

ApiReply postJson(QNetworkAccessManager *manager, const QUrl &url, const QByteArray &body)
{
    ApiReply result;
    if (!manager) {
        result.outcome = ApiOutcome::Unreachable;
        result.reason = QStringLiteral("no network access");
        return result;
    }

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = manager->post(request, body);

    QEventLoop loop;
    // One deadline from the moment the request is sent: an answer that trickles in
    // byte by byte must not hold the start-up for longer than that.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer); // a coarse 30 s timer may end 1.5 s early
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&deadline, &QTimer::timeout, reply, [reply, &result] {
        result.outcome = ApiOutcome::TimedOut;
        reply->abort();
    });
    // The answer is taken out of the reply as it comes, so it is held once, and
    // given up as soon as it (or its announced length) passes the limit.
    auto tooLarge = [reply, &result] {
        result.outcome = ApiOutcome::TooLarge;
        result.body.clear();
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [reply, tooLarge] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > MaxApiAnswerBytes)
            tooLarge();
    });
    QObject::connect(reply, &QIODevice::readyRead, &loop, [reply, &result, tooLarge] {
        if (result.outcome != ApiOutcome::Answered)
            return;
        if (result.body.size() + reply->bytesAvailable() > MaxApiAnswerBytes) {
            tooLarge();
            return;
        }
        result.body += reply->readAll();
    });
    deadline.start(g_timeoutMs);
    if (!reply->isFinished())
        loop.exec();
    deadline.stop();

    if (result.outcome == ApiOutcome::Answered) {
        if (isNetworkFailure(reply->error())) {
            result.outcome = ApiOutcome::Unreachable;
            result.reason = unreachableReason(reply);
            result.body.clear();
        } else if (result.body.size() + reply->bytesAvailable() > MaxApiAnswerBytes) {
            result.outcome = ApiOutcome::TooLarge;
            result.body.clear();
        } else {
            result.body += reply->readAll();
        }
    }
    if (result.outcome != ApiOutcome::Answered)
        result.body = QByteArray(); // part of an answer is no answer
    switch (result.outcome) {
    case ApiOutcome::Answered:
        break;
    case ApiOutcome::TimedOut:
        qCWarning(lcApi) << "no whole answer from" << url.toString() << "within" << g_timeoutMs << "ms";
        break;
    case ApiOutcome::TooLarge:
        qCWarning(lcApi) << "the answer from" << url.toString() << "ran past" << MaxApiAnswerBytes << "bytes";
        break;
    case ApiOutcome::Unreachable:
        qCWarning(lcApi).noquote() << "cannot reach" << url.toString() << '(' + result.reason + ')';
        break;
    }
    reply->deleteLater();
    return result;
}

ApiReply apiExchange(const QString &action, const QJsonObject &parameters)
{
    QJsonObject object = parameters;
    object.insert(QStringLiteral("action"), action);
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Indented);
    ApiReply reply = postJson(apiNetworkManager(), apiUrl(), body);
    if (reply.outcome == ApiOutcome::Answered)
        reply.body = decryptResponse(reply.body);
    return reply;
}

QByteArray apiRequest(const QString &action, const QJsonObject &parameters)
{
    // Without a network manager nothing is sent at all.
    if (!apiNetworkManager())
        return QByteArray();
    return apiExchange(action, parameters).body;
}
