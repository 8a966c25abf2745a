#include <QtTest>
#include <QApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#include "api/apirequest.h"
#include "api/contracts.h"
#include "api/serversettings.h"
#include "buildconfig.h"
#include "crypto/aescipher.h"
#include "feedsim.h"
#include "httpserver.h"
#include "testenv.h"

Q_DECLARE_METATYPE(ContractCatalogue)

namespace {

// Derived here from the pass phrase on its own, so a wrong derivation in the code shows.
QByteArray testKey()
{
    return QCryptographicHash::hash(QByteArrayLiteral(QUILLMARK_API_PASSPHRASE), QCryptographicHash::Sha256);
}

QByteArray testIv()
{
    return QCryptographicHash::hash(QByteArrayLiteral("iv_" QUILLMARK_API_PASSPHRASE), QCryptographicHash::Sha256).left(16);
}

// An envelope around an already block-aligned plaintext, padding exactly as given.
QByteArray envelopeAround(const QByteArray &alignedPlain)
{
    const QByteArray sealed = AesCipher(2, 1, 2).encrypt(alignedPlain, testKey(), testIv());
    return "{\"encrypted\":\"" + sealed.toBase64() + "\"}";
}

QByteArray pkcs7(const QByteArray &text)
{
    const int n = 16 - text.size() % 16;
    return text + QByteArray(n, char(n));
}

// Collects what a raw client socket receives.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;

    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
};

QByteArray post(const QByteArray &path, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class tst_api : public QObject
{
    Q_OBJECT

    QNetworkAccessManager *m_nam = nullptr;

private slots:
    void init()
    {
        m_nam = new QNetworkAccessManager(this);
        setApiNetworkManager(m_nam);
        setApiRequestTimeoutMs(0);
    }
    void cleanup()
    {
        setApiNetworkManager(nullptr);
        delete m_nam;
        m_nam = nullptr;
        setApiRequestTimeoutMs(0);
        qunsetenv("QUILLMARK_SERVER");
    }

    // ---- envelope -------------------------------------------------------

    void decryptResponse_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray plain = "{ \"b\": 1,\n \"a\": [true] }";
        QTest::newRow("plain json byte for byte") << plain << plain;
        QTest::newRow("html error page") << QByteArray("<html><body>502 Bad Gateway</body></html>") << QByteArray("<html><body>502 Bad Gateway</body></html>");
        QTest::newRow("array holding an envelope") << QByteArray("[{\"encrypted\":\"AAAA\"}]") << QByteArray("[{\"encrypted\":\"AAAA\"}]");
        QTest::newRow("empty body") << QByteArray() << QByteArray();
        QTest::newRow("braces with 14 x 14") << envelopeAround(QByteArray("{}") + QByteArray(14, '\x0e')) << QByteArray("{}");
        QTest::newRow("three bytes with 13 x 13") << envelopeAround(QByteArray("{}\n") + QByteArray(13, '\x0d')) << QByteArray("{}\n");
        QTest::newRow("full padding block") << envelopeAround(pkcs7("{\"k\":\"0123456\"}")) << QByteArray("{\"k\":\"0123456\"}");
        const QByteArray zeroTail = QByteArray("{\"a\":1}") + QByteArray(9, '\0');
        QTest::newRow("last byte 0 kept") << envelopeAround(zeroTail) << zeroTail;
        const QByteArray seventeen = QByteArray(15, 'x') + '\x11';
        QTest::newRow("last byte 17 kept") << envelopeAround(seventeen) << seventeen;
        const QByteArray uneven = QByteArray(13, 'y') + "\x03\x02\x03";
        QTest::newRow("inconsistent padding kept") << envelopeAround(uneven) << uneven;
        QTest::newRow("empty encrypted string") << QByteArray("{\"encrypted\":\"\"}") << QByteArray("{\"encrypted\":\"\"}");
        QTest::newRow("encrypted not a string") << QByteArray("{\"encrypted\":5}") << QByteArray("{\"encrypted\":5}");
        QTest::newRow("nothing decodable") << QByteArray("{\"encrypted\":\"!!!\"}") << QByteArray("{\"encrypted\":\"!!!\"}");
        const QByteArray ragged = "{\"encrypted\":\"" + QByteArray(17, 'z').toBase64() + "\"}";
        QTest::newRow("ragged ciphertext gives empty") << ragged << QByteArray();

        const QByteArray sealed = AesCipher(2, 1, 2).encrypt(pkcs7("{\"ok\":true}"), testKey(), testIv()).toBase64();
        QByteArray wrapped = sealed;
        wrapped.insert(10, "\\n");
        wrapped.insert(4, "\\r\\n");
        QTest::newRow("line breaks in base64 skipped") << ("{\"encrypted\":\"" + wrapped + "\"}") << QByteArray("{\"ok\":true}");
        QTest::newRow("other members ignored") << ("{\"v\":2,\"encrypted\":\"" + sealed + "\",\"x\":null}") << QByteArray("{\"ok\":true}");
        // PHP's encoder writes '/' as "\/"; that form must unwrap as well.
        for (int i = 0;; ++i) {
            const QByteArray text = "{\"n\":" + QByteArray::number(i) + "}";
            const QByteArray b64 = AesCipher(2, 1, 2).encrypt(pkcs7(text), testKey(), testIv()).toBase64();
            if (b64.contains('/')) {
                QTest::newRow("escaped slashes") << ("{\"encrypted\":\"" + QByteArray(b64).replace("/", "\\/") + "\"}") << text;
                break;
            }
        }
        QTest::newRow("spaced envelope") << (" {\n  \"encrypted\" : \"" + sealed + "\"\n}\n") << QByteArray("{\"ok\":true}");
        QTest::newRow("escaped member name") << ("{\"\\u0065ncrypted\":\"" + sealed + "\"}") << QByteArray("{\"ok\":true}");
    }
    void decryptResponse()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, expected);
        QCOMPARE(::decryptResponse(body), expected);
    }

    void envelopeRoundTrip()
    {
        QCOMPARE(QByteArray(QUILLMARK_API_PASSPHRASE).size(), 53);
        QCOMPARE(apiCipherKey(), testKey());
        QCOMPARE(apiCipherIv(), testIv());
        for (int n : {0, 1, 15, 16, 17, 4096}) {
            const QByteArray json = "{\"t\":\"" + QByteArray(n, 'q') + "\"}";
            const QByteArray envelope = encryptEnvelope(json);
            const QJsonObject object = jsonObjectOf(envelope);
            QVERIFY(object.value(QStringLiteral("encrypted")).isString());
            const QByteArray sealed = QByteArray::fromBase64(object.value(QStringLiteral("encrypted")).toString().toLatin1());
            QCOMPARE(sealed.size(), (json.size() / 16 + 1) * 16);
            QCOMPARE(AesCipher(2, 1, 2).decrypt(sealed, testKey(), testIv()), pkcs7(json));
            QCOMPARE(::decryptResponse(envelope), json);
        }
    }

    // ---- server settings type rules --------------------------------------

    void symbolAllowed_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("number") << QByteArray("50") << 50;
        QTest::newRow("integral double") << QByteArray("50.0") << 50;
        QTest::newRow("fraction") << QByteArray("50.5") << 0;
        QTest::newRow("string") << QByteArray("\"50\"") << 0;
        QTest::newRow("boolean") << QByteArray("true") << 0;
        QTest::newRow("null") << QByteArray("null") << 0;
        QTest::newRow("array") << QByteArray("[50]") << 0;
        QTest::newRow("beyond int") << QByteArray("1e12") << 0;
        QTest::newRow("negative") << QByteArray("-3") << -3;
    }
    void symbolAllowed()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        QCOMPARE(StartupSettings::fromBody("{\"symbol_allowed\":" + value + "}").symbolAllowed, expected);
    }

    void daysbox_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("numbers") << QByteArray("[1, 3, 5]") << QStringList{"1", "3", "5"};
        QTest::newRow("mixed") << QByteArray("[\"1\", 2, 10.0]") << QStringList{"1", "2", "10"};
        QTest::newRow("single string") << QByteArray("\"5\"") << QStringList{"5"};
        QTest::newRow("single number") << QByteArray("5") << QStringList();
        QTest::newRow("object") << QByteArray("{\"a\":1}") << QStringList();
        QTest::newRow("empty array") << QByteArray("[]") << QStringList();
    }
    void daysbox()
    {
        QFETCH(QByteArray, value);
        QFETCH(QStringList, expected);
        QCOMPARE(StartupSettings::fromBody("{\"daysbox\":" + value + "}").daysbox, expected);
        QVERIFY(StartupSettings::fromBody("{}").daysbox.isEmpty());
    }

    void booleansAndStrings()
    {
        const StartupSettings typed = StartupSettings::fromBody(
            R"({"success": true, "eod_enabled": true, "message": "hi", "feeds": "CASH,MCX"})");
        QVERIFY(typed.success);
        QVERIFY(typed.eodEnabled);
        QCOMPARE(typed.message, QStringLiteral("hi"));
        QCOMPARE(typed.feeds, QStringLiteral("CASH,MCX"));

        const StartupSettings mistyped = StartupSettings::fromBody(
            R"({"success": "true", "eod_enabled": 1, "message": 5, "feeds": ["CASH"], "support": null})");
        QVERIFY(!mistyped.success);
        QVERIFY(!mistyped.eodEnabled);
        QVERIFY(mistyped.message.isEmpty());
        QVERIFY(mistyped.feeds.isEmpty());
        QVERIFY(mistyped.support.isEmpty());

        // Not an object at all: every field at its default.
        QCOMPARE(StartupSettings::fromBody("<html>").toJson(), StartupSettings().toJson());
        QCOMPARE(StartupSettings::fromBody("[1,2]").toJson(), StartupSettings().toJson());

        const BackfillPathSettings paths = BackfillPathSettings::fromBody(
            R"({"success": 1, "one_day_backfill_path": "a", "five_day_backfill_path": 7})");
        QVERIFY(!paths.success);
        QCOMPARE(paths.oneDayBackfillPath, QStringLiteral("a"));
        QVERIFY(paths.fiveDayBackfillPath.isEmpty());
    }

    void startupRecordRoundTrip()
    {
        // Every field distinct, so a field read from the wrong member shows.
        StartupSettings s;
        s.success = true;
        s.eodEnabled = true;
        s.symbolAllowed = 77;
        s.daysbox = QStringList{"2", "4"};
        QString *fields[] = {&s.message, &s.latestVersion, &s.latestVersionPath, &s.feeds, &s.secureKey,
                             &s.backfillPath, &s.backfillPathSlow, &s.backfillPathEod1y, &s.liveDataGet,
                             &s.liveDataPost, &s.networkGet, &s.networkPost, &s.websocketLink, &s.support};
        int i = 0;
        for (QString *field : fields)
            *field = QStringLiteral("value-%1").arg(i++);
        const QJsonObject json = s.toJson();
        QCOMPARE(json.value(QStringLiteral("backfill_path_eod1y")).toString(), s.backfillPathEod1y);
        QCOMPARE(json.value(QStringLiteral("websocket_link")).toString(), s.websocketLink);
        QCOMPARE(StartupSettings::fromJson(json).toJson(), json);
    }

    // ---- contract list -----------------------------------------------------

    void fetchContracts_data()
    {
        QTest::addColumn<bool>("envelope");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<ContractCatalogue>("expected");

        struct Row { const char *name; QByteArray answer; ContractCatalogue expected; };
        const Row rows[] = {
            {"mcx and comm",
             R"({"success":true,"contracts":[{"Symbol":"CRUDEOIL-I","Exch":"MCX"},{"Symbol":"GOLDM-I","Exch":"COMM"},{"Symbol":"SILVERM-I","Exch":"MCX"}]})",
             {{"MCX", {"CRUDEOIL-I", "SILVERM-I"}}, {"COMM", {"GOLDM-I"}}}},
            {"order and duplicates kept",
             R"({"success":true,"contracts":[{"Symbol":"B","Exch":"CASH"},{"Symbol":"A","Exch":"FUTURE"},{"Symbol":"A","Exch":"CASH"},{"Symbol":"B","Exch":"CASH"}]})",
             {{"CASH", {"B", "A", "B"}}, {"FUTURE", {"A"}}}},
            {"missing and mistyped fields",
             R"({"success":true,"contracts":[{"Symbol":"NIFTY-I"},{"Symbol":5,"Exch":"FUTURE"},"junk",{"Exch":"cash","Symbol":"x","extra":1}]})",
             {{"", {"NIFTY-I", ""}}, {"FUTURE", {""}}, {"cash", {"x"}}}},
            {"success false", R"({"success":false,"contracts":[{"Symbol":"A","Exch":"CASH"}]})", {}},
            {"success as text", R"({"success":"true","contracts":[{"Symbol":"A","Exch":"CASH"}]})", {}},
            {"no contracts array", R"({"success":true,"contracts":{"Symbol":"A","Exch":"CASH"}})", {}},
            {"not json", "<html>busy</html>", {}},
        };
        for (const Row &row : rows) {
            QTest::addRow("plain: %s", row.name) << false << row.answer << row.expected;
            QTest::addRow("enveloped: %s", row.name) << true << row.answer << row.expected;
        }
    }
    void fetchContracts()
    {
        QFETCH(bool, envelope);
        QFETCH(QByteArray, answer);
        QFETCH(ContractCatalogue, expected);
        FeedSim sim;
        sim.options().envelope = envelope;
        sim.options().contractsBody = answer;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());

        QCOMPARE(::fetchContracts(m_nam), expected);
        QCOMPARE(sim.actionCount(QStringLiteral("contracts")), 1);
        const HttpRequest request = sim.http()->lastRequest(QLatin1String(FeedSim::ApiRoute));
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.body, QByteArray("{\n    \"action\": \"contracts\"\n}\n"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    }

    void fetchContractsWithoutManagerSendsNothing()
    {
        FeedSim sim;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        QVERIFY(::fetchContracts(nullptr).isEmpty());
        setApiNetworkManager(nullptr);
        QVERIFY(apiRequest(QLatin1String(StartupAction)).isEmpty());
        QCOMPARE(sim.http()->totalRequests(), 0);
    }

    void generatedCatalogue()
    {
        FeedSim sim;
        sim.options().envelope = true;
        sim.options().contractCount = 3000;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        const ContractCatalogue catalogue = ::fetchContracts(m_nam);
        int total = 0;
        for (const QStringList &symbols : catalogue)
            total += symbols.size();
        QCOMPARE(total, 3000);
        for (const char *exch : {"CASH", "FUTURE", "OPTION", "MCX", "CURRENCY", "SPOTINDEX", "NCDEX", "CMOPT", "FOREX"})
            QVERIFY2(!catalogue.value(QLatin1String(exch)).isEmpty(), exch);
        QVERIFY(catalogue.value(QStringLiteral("FUTURE")).contains(QStringLiteral("BANKNIFTY-I")));
        QVERIFY(catalogue.value(QStringLiteral("MCX")).contains(QStringLiteral("GOLDM-I")));
        QVERIFY(catalogue.value(QStringLiteral("SPOTINDEX")).contains(QStringLiteral("INDIAVIX")));
        // Options make up most of a large catalogue.
        QVERIFY(catalogue.value(QStringLiteral("OPTION")).size() > total / 2);
    }

    // ---- apiRequest against the reference server ------------------------------

    void startupExchange_data()
    {
        QTest::addColumn<bool>("envelope");
        QTest::newRow("plain") << false;
        QTest::newRow("enveloped") << true;
    }
    void startupExchange()
    {
        QFETCH(bool, envelope);
        FeedSim sim;
        sim.options().envelope = envelope;
        sim.options().symbolAllowed = 42;
        sim.options().daysbox = QStringList{"1", "5"};
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());

        QJsonObject parameters = startupParameters(QStringLiteral("ab12-cd"), QStringLiteral("7.26"));
        parameters.insert(QStringLiteral("action"), QStringLiteral("contracts")); // must be overwritten
        const QByteArray body = apiRequest(QLatin1String(StartupAction), parameters);
        QCOMPARE(body.startsWith("{\"encrypted\""), false);
        const StartupSettings settings = StartupSettings::fromBody(body);
        QCOMPARE(settings.toJson(), sim.startupSettings().toJson());
        QVERIFY(settings.success);
        QCOMPARE(settings.symbolAllowed, 42);
        QCOMPARE(settings.daysbox, (QStringList{"1", "5"}));
        QCOMPARE(settings.latestVersion, QStringLiteral("7.26"));

        QCOMPARE(sim.actionCount(QStringLiteral("startup")), 1);
        QCOMPARE(sim.actionCount(QStringLiteral("contracts")), 0);
        const QJsonObject sent = sim.lastApiRequest();
        QCOMPARE(sent.value(QStringLiteral("machine_id")).toString(), QStringLiteral("AB12-CD"));
        QCOMPARE(sent.value(QStringLiteral("client_version")).toString(), QStringLiteral("7.26"));
        const HttpRequest request = sim.http()->lastRequest(QLatin1String(FeedSim::ApiRoute));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(request.body).toJson(QJsonDocument::Indented), request.body);
    }

    void otherExchanges()
    {
        FeedSim sim;
        sim.options().envelope = true;
        sim.options().failStartup = true;
        sim.options().failMessage = QStringLiteral("Subscription expired");
        sim.options().startupExtra.insert(QStringLiteral("symbol_allowed"), QStringLiteral("50"));
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());

        const StartupSettings refused = StartupSettings::fromBody(apiRequest(QLatin1String(StartupAction), startupParameters(QStringLiteral("x"), QStringLiteral("7.26"))));
        QVERIFY(!refused.success);
        QCOMPARE(refused.message, QStringLiteral("Subscription expired"));
        QCOMPARE(refused.symbolAllowed, 0);

        const BackfillPathSettings paths = BackfillPathSettings::fromBody(apiRequest(QLatin1String(GetSettingsAction), getSettingsParameters(QStringLiteral("x"))));
        QVERIFY(paths.success);
        QCOMPARE(paths.oneDayBackfillPath, sim.backfillPathSettings().oneDayBackfillPath);
        QVERIFY(paths.fiveDayBackfillPath.contains(sim.serverHost()));

        sim.options().getSettingsSuccess = false;
        QVERIFY(!BackfillPathSettings::fromBody(apiRequest(QLatin1String(GetSettingsAction), getSettingsParameters(QStringLiteral("x")))).success);
        QCOMPARE(sim.actionCount(QStringLiteral("get_settings")), 2);
    }

    void silentServerEndsByTimeout()
    {
        FeedSim sim;
        sim.options().stallApi = true;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        QCOMPARE(apiRequestTimeoutMs(), ApiRequestTimeoutMs);
        QCOMPARE(ApiRequestTimeoutMs, 30000);
        setApiRequestTimeoutMs(300);

        // The GUI thread keeps serving events while it waits.
        // Should the time-out not work, this watchdog keeps the test bounded (and failing).
        QTimer::singleShot(6000, &sim, [&sim] { sim.http()->dropConnections(); });
        bool timerRan = false;
        QTimer::singleShot(50, this, [&timerRan] { timerRan = true; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(apiRequest(QLatin1String(StartupAction)).isEmpty());
        QVERIFY(timerRan);
        QVERIFY2(clock.elapsed() >= 250 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(sim.actionCount(QStringLiteral("startup")), 1);

        clock.restart();
        QVERIFY(::fetchContracts(m_nam).isEmpty());
        QVERIFY(clock.elapsed() < 5000);
    }

    // One deadline from the moment the request is sent: an answer that keeps
    // trickling in (a piece every 100 ms, forever) ends with it all the same.
    void trickleIsCutOffAtTheDeadline()
    {
        FeedSim sim;
        QVERIFY(sim.start());
        HttpServer *http = sim.http();
        http->addRoute(QLatin1String(FeedSim::ApiRoute), [http](const HttpRequest &, HttpResponder *responder) {
            responder->begin(200, "application/json");
            responder->write("{\"parts\":[0");
            QPointer<HttpResponder> later(responder);
            auto *pacer = new QTimer(http);
            QObject::connect(pacer, &QTimer::timeout, http, [later, pacer] {
                if (!later) {
                    pacer->deleteLater();
                    return;
                }
                later->write(",1");
            });
            pacer->start(100);
        });
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        setApiRequestTimeoutMs(500);
        // Should the deadline not hold, this watchdog keeps the test bounded (and failing).
        QTimer::singleShot(6000, &sim, [&sim] { sim.http()->dropConnections(); });
        QElapsedTimer clock;
        clock.start();
        const ApiReply reply = apiExchange(QLatin1String(StartupAction));
        QVERIFY2(clock.elapsed() >= 450 && clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(int(reply.outcome), int(ApiOutcome::TimedOut));
        QVERIFY(reply.body.isEmpty());
        QCOMPARE(apiFailureText(reply), QStringLiteral("The data server did not answer within 1 s"));
        setApiRequestTimeoutMs(0);
        QCOMPARE(apiFailureText(reply), QStringLiteral("The data server did not answer within 30 s"));
    }

    // An answer past 64 MiB is given up as soon as it gets there, without holding
    // more of it: one that announces its length, and one that never ends.
    void answersPastTheLimitAreRefused_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("announced length") << true;
        QTest::newRow("endless") << false;
    }
    void answersPastTheLimitAreRefused()
    {
        QFETCH(bool, announced);
        FeedSim sim;
        QVERIFY(sim.start());
        HttpServer *http = sim.http();
        auto written = std::make_shared<qint64>(0);
        http->addRoute(QLatin1String(FeedSim::ApiRoute), [http, announced, written](const HttpRequest &, HttpResponder *responder) {
            responder->begin(200, "application/json", announced ? MaxApiAnswerBytes + 1 : -1);
            QPointer<HttpResponder> later(responder);
            auto *pump = new QTimer(http);
            const QByteArray piece(1024 * 1024, ' ');
            QObject::connect(pump, &QTimer::timeout, http, [later, pump, piece, written] {
                // Bounded: a client that never stops reading ends the test here.
                if (!later || *written > 4 * MaxApiAnswerBytes) {
                    pump->deleteLater();
                    return;
                }
                later->write(piece);
                *written += piece.size();
            });
            pump->start(0);
        });
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        const ApiReply reply = apiExchange(QLatin1String(StartupAction));
        QCOMPARE(int(reply.outcome), int(ApiOutcome::TooLarge));
        QVERIFY(reply.body.isEmpty());
        QVERIFY2(*written < 2 * MaxApiAnswerBytes, qPrintable(QString::number(*written)));
        if (announced)
            QVERIFY2(*written < MaxApiAnswerBytes, qPrintable(QString::number(*written)));
        QCOMPARE(apiFailureText(reply), QStringLiteral("The data server's answer was larger than 64 MB and was not read"));
        QString failure;
        QVERIFY(::fetchContracts(m_nam, &failure).isEmpty());
        QCOMPARE(failure, apiFailureText(reply));
    }

    // The largest contract list a server sends today comes through the limit whole.
    void largestContractListFits()
    {
        FeedSim sim;
        sim.options().envelope = true;
        sim.options().contractCount = FeedSimOptions::MaxContracts;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        const QByteArray plain = FeedSim::contractsJson(FeedSimOptions::MaxContracts);
        const QByteArray sealed = encryptEnvelope(plain);
        qInfo("150,000 contracts: %lld bytes plain, %lld enveloped (limit %lld)", qint64(plain.size()),
              qint64(sealed.size()), MaxApiAnswerBytes);
        QVERIFY(sealed.size() < MaxApiAnswerBytes / 4);
        QString failure = QStringLiteral("unset");
        const ContractCatalogue catalogue = ::fetchContracts(m_nam, &failure);
        QCOMPARE(failure, QString());
        int total = 0;
        for (const QStringList &symbols : catalogue)
            total += symbols.size();
        QCOMPARE(total, FeedSimOptions::MaxContracts);
    }

    // What the start-up box says when the server gave no message of its own.
    void failureWords_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("nobody listening") << 0 << "Cannot reach the data server (connection refused)";
        QTest::newRow("hung up without an answer") << 2 << "Cannot reach the data server (the connection was closed)";
        QTest::newRow("truncated") << 3 << "The data server's answer could not be read";
        QTest::newRow("not JSON") << 4 << "The data server's answer could not be read";
        QTest::newRow("bad envelope") << 5 << "The data server's answer could not be read";
        QTest::newRow("wrong key") << 6 << "The data server's answer could not be read";
        QTest::newRow("error page") << 7 << "The data server's answer could not be read";
    }
    void failureWords()
    {
        QFETCH(int, kind);
        QFETCH(QString, text);
        FeedSim sim;
        QVERIFY(sim.start());
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        const QMap<int, QByteArray> bodies{{3, "{\"success\":true,\"mess"},
                                           {4, "Service Unavailable"},
                                           {5, "{\"encrypted\":\"AAAAAAAAAAAAAAAAAAAAAA==\"}"},
                                           {6, "{\"succes\":true}"},
                                           {7, "<html><body>Internal error</body></html>"}};
        switch (kind) {
        case 0: {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            qputenv("QUILLMARK_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(closed.serverPort()));
            break;
        }
        case 2:
            sim.http()->addRoute(QLatin1String(FeedSim::ApiRoute), [](const HttpRequest &, HttpResponder *r) { r->abort(); });
            break;
        default: {
            const QByteArray body = bodies.value(kind);
            const int status = kind == 7 ? 500 : 200;
            sim.http()->addRoute(QLatin1String(FeedSim::ApiRoute), [body, status](const HttpRequest &, HttpResponder *r) {
                r->respond(status, "application/json", body);
            });
        }
        }
        const ApiReply reply = apiExchange(QLatin1String(StartupAction));
        const StartupSettings answer = StartupSettings::fromBody(reply.body);
        QVERIFY(!answer.success);
        QVERIFY(answer.message.isEmpty());
        QCOMPARE(apiFailureText(reply), text);
    }

    void brokenServersGiveEmpty()
    {
        // A server that hangs up without an answer.
        FeedSim sim;
        QVERIFY(sim.start());
        sim.http()->addRoute(QLatin1String(FeedSim::ApiRoute), [](const HttpRequest &, HttpResponder *responder) { responder->abort(); });
        qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
        QVERIFY(apiRequest(QLatin1String(StartupAction)).isEmpty());

        // A server that goes down while the client waits (default time-out still 30 s).
        sim.http()->addRoute(QLatin1String(FeedSim::ApiRoute), [](const HttpRequest &, HttpResponder *) {});
        QTimer::singleShot(100, &sim, [&sim] { sim.http()->dropConnections(); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(apiRequest(QLatin1String(StartupAction)).isEmpty());
        QVERIFY(clock.elapsed() < 5000);

        // Nobody listening at all.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        qputenv("QUILLMARK_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(closedPort));
        QVERIFY(apiRequest(QLatin1String(StartupAction)).isEmpty());
        QVERIFY(::fetchContracts(m_nam).isEmpty());
    }

    // ---- the reference server's HTTP layer --------------------------------------

    void httpKeepAlivePartialAndPipelined()
    {
        HttpServer server;
        QVERIFY(server.listen());
        server.addRoute(QStringLiteral("/echo"), [](const HttpRequest &request, HttpResponder *responder) {
            responder->respond(200, "text/plain", request.path.toUtf8() + ':' + request.body);
        });
        RawClient client(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(client.socket.state() == QAbstractSocket::ConnectedState, 3000);

        // One request in three pieces, the header split mid-line.
        const QByteArray first = post("/echo/one", "alpha");
        client.socket.write(first.left(7));
        QTest::qWait(20);
        client.socket.write(first.mid(7, 30));
        QTest::qWait(20);
        QVERIFY(client.received.isEmpty());
        client.socket.write(first.mid(37));
        QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith("/echo/one:alpha"), 3000);

        // Two pipelined requests in one write, answered in order on the same connection.
        client.received.clear();
        client.socket.write(post("/echo/two", "b") + post("/echo/three", QByteArray(70000, 'c')));
        QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith(QByteArray(70000, 'c')), 3000);
        QVERIFY(client.received.indexOf("/echo/two:b") < client.received.indexOf("/echo/three:"));
        QCOMPARE(client.received.count("HTTP/1.1 200 OK"), 2);
        QVERIFY(client.received.contains("Content-Length: 70012"));
        QVERIFY(!client.closed);
        QCOMPARE(server.requestCount(QStringLiteral("/echo")), 3);
        QCOMPARE(server.lastRequest(QStringLiteral("/echo")).path, QStringLiteral("/echo/three"));
    }

    void httpLaterAnswersKeepOrder()
    {
        HttpServer server;
        QVERIFY(server.listen());
        server.addRoute(QStringLiteral("/slow"), [&server](const HttpRequest &, HttpResponder *responder) {
            QPointer<HttpResponder> later(responder);
            QTimer::singleShot(80, &server, [later] {
                if (later)
                    later->respond(200, "text/plain", "slow");
            });
        });
        server.addRoute(QStringLiteral("/"), [](const HttpRequest &request, HttpResponder *responder) {
            responder->respond(200, "text/plain", "root:" + request.query.toUtf8());
        });
        server.addRoute(QStringLiteral("/gone"), [](const HttpRequest &, HttpResponder *responder) {
            responder->respond(404, "text/plain", "no");
        });
        RawClient client(server.port());
        client.socket.write(post("/slow", "") + "GET /fast?a=1&b=x%20y HTTP/1.1\r\nHost: x\r\n\r\n" + post("/gone/deeper", ""));
        QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith("no"), 3000);
        const int slow = client.received.indexOf("slow");
        const int fast = client.received.indexOf("root:a=1&b=x%20y");
        QVERIFY(slow > 0 && fast > slow);
        QVERIFY(client.received.contains("404 Not Found"));
        QCOMPARE(server.requestCount(QStringLiteral("/gone")), 1);
        QCOMPARE(server.lastRequest(QStringLiteral("/")).queryItem(QStringLiteral("b")), QStringLiteral("x y"));
    }

    void httpPiecesWithoutLength()
    {
        HttpServer server;
        QVERIFY(server.listen());
        server.addRoute(QStringLiteral("/stream"), [&server](const HttpRequest &, HttpResponder *responder) {
            responder->begin(200, "application/octet-stream");
            responder->write("first,");
            QPointer<HttpResponder> later(responder);
            QTimer::singleShot(30, &server, [later] {
                if (!later)
                    return;
                later->write("second");
                later->finish();
            });
        });
        QNetworkReply *reply = m_nam->get(QNetworkRequest(QUrl(server.baseUrl() + QStringLiteral("/stream"))));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 3000);
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->readAll(), QByteArray("first,second"));
        reply->deleteLater();

        QCOMPARE(server.requestCount(QStringLiteral("/missing")), 0);
        QNetworkReply *missing = m_nam->get(QNetworkRequest(QUrl(server.baseUrl() + QStringLiteral("/missing"))));
        QTRY_VERIFY_WITH_TIMEOUT(missing->isFinished(), 3000);
        QCOMPARE(missing->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        missing->deleteLater();
    }

    void httpBadRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("garbage line") << QByteArray("HELLO\r\n\r\n") << QByteArray("400");
        QTest::newRow("bad length") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: x\r\n\r\n") << QByteArray("400");
        QTest::newRow("huge body") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n") << QByteArray("413");
        QTest::newRow("chunked body") << QByteArray("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << QByteArray("501");
        QTest::newRow("endless header") << ("GET /a HTTP/1.1\r\nX: " + QByteArray(HttpServer::MaxHeaderSize + 10, 'h')) << QByteArray("431");
    }
    void httpBadRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        HttpServer server;
        QVERIFY(server.listen());
        server.addRoute(QStringLiteral("/"), [](const HttpRequest &, HttpResponder *responder) { responder->respond(200, "text/plain", "ok"); });
        RawClient client(server.port());
        client.socket.write(request);
        QTRY_VERIFY_WITH_TIMEOUT(client.closed, 3000);
        QVERIFY2(client.received.startsWith("HTTP/1.1 " + status), client.received.constData());
        QCOMPARE(server.totalRequests(), 0);
    }
};

QM_TEST_MAIN(tst_api)
#include "tst_api.moc"
