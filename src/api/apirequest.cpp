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

QByteArray postJsonAndWait(QNetworkAccessManager *manager, const QUrl &url, const QByteArray &body)
{
    if (!manager)
        return QByteArray();

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = manager->post(request, body);

    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&idle, &QTimer::timeout, reply, [reply, &timedOut] {
        timedOut = true;
        reply->abort();
    });
    // Any traffic restarts the clock: a large answer that keeps arriving is not cut off.
    auto restart = [&idle] { idle.start(); };
    QObject::connect(reply, &QNetworkReply::downloadProgress, &idle, restart);
    QObject::connect(reply, &QNetworkReply::uploadProgress, &idle, restart);
    idle.start(g_timeoutMs);
    if (!reply->isFinished())
        loop.exec();
    idle.stop();

    QByteArray answer;
    if (timedOut)
        qCWarning(lcApi) << "no answer from" << url.toString() << "within" << g_timeoutMs << "ms";
    else
        answer = reply->readAll();
    reply->deleteLater();
    return answer;
}

QByteArray apiRequest(const QString &action, const QJsonObject &parameters)
{
    QNetworkAccessManager *manager = apiNetworkManager();
    if (!manager)
        return QByteArray();
    QJsonObject object = parameters;
    object.insert(QStringLiteral("action"), action);
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return decryptResponse(postJsonAndWait(manager, apiUrl(), body));
}
