#include "feedsim.h"
#include "feedsimstream.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_stallRequested{false};

void onStopSignal(int)
{
    g_stopRequested = true;
}

#ifdef SIGUSR1
void onStallSignal(int)
{
    g_stallRequested = true;
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("feedsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference data server for Quillmark (loopback only). SIGUSR1 ends the tick stream; SIGINT or SIGTERM end the server."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("HTTP port (0: any free port)."), QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption envelope(QStringLiteral("envelope"), QStringLiteral("Answer API requests in the enciphered envelope."));
    const QCommandLineOption failStartup(QStringLiteral("fail-startup"), QStringLiteral("Refuse the start-up exchange with this message."), QStringLiteral("message"));
    const QCommandLineOption feeds(QStringLiteral("feeds"), QStringLiteral("Enabled feed tags."), QStringLiteral("tags"));
    const QCommandLineOption daysbox(QStringLiteral("daysbox"), QStringLiteral("Comma-separated backfill day choices."), QStringLiteral("list"));
    const QCommandLineOption symbolAllowed(QStringLiteral("symbol-allowed"), QStringLiteral("Symbol limit."), QStringLiteral("n"));
    const QCommandLineOption message(QStringLiteral("message"), QStringLiteral("Message for the messages panel."), QStringLiteral("text"));
    const QCommandLineOption noEod(QStringLiteral("no-eod"), QStringLiteral("Answer eod_enabled false."));
    const QCommandLineOption secureKey(QStringLiteral("secure-key"), QStringLiteral("Secure key for backfill addresses."), QStringLiteral("key"));
    const QCommandLineOption backfillPath(QStringLiteral("backfill-path"), QStringLiteral("Intraday backfill path (host/path)."), QStringLiteral("path"));
    const QCommandLineOption backfillPathSlow(QStringLiteral("backfill-path-slow"), QStringLiteral("Slow-mode backfill path."), QStringLiteral("path"));
    const QCommandLineOption backfillPathEod1y(QStringLiteral("backfill-path-eod1y"), QStringLiteral("One-year end-of-day path."), QStringLiteral("path"));
    const QCommandLineOption oneDayPath(QStringLiteral("one-day-backfill-path"), QStringLiteral("get_settings one_day_backfill_path."), QStringLiteral("path"));
    const QCommandLineOption fiveDayPath(QStringLiteral("five-day-backfill-path"), QStringLiteral("get_settings five_day_backfill_path."), QStringLiteral("path"));
    const QCommandLineOption websocketLink(QStringLiteral("websocket-link"), QStringLiteral("WebSocket stream address."), QStringLiteral("url"));
    const QCommandLineOption support(QStringLiteral("support"), QStringLiteral("Support address."), QStringLiteral("url"));
    const QCommandLineOption latestVersion(QStringLiteral("latest-version"), QStringLiteral("Latest version (default 7.26)."), QStringLiteral("version"));
    const QCommandLineOption latestVersionPath(QStringLiteral("latest-version-path"), QStringLiteral("Update archive address."), QStringLiteral("url"));
    const QCommandLineOption contracts(QStringLiteral("contracts"), QStringLiteral("Number of contracts (at most 150000)."), QStringLiteral("n"));
    const QCommandLineOption failSettings(QStringLiteral("fail-get-settings"), QStringLiteral("Answer get_settings with success false."));
    const QCommandLineOption wsPort(QStringLiteral("ws-port"), QStringLiteral("WebSocket stream port (0: any free port)."), QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("Tick batches per second to each subscriber (default 2)."), QStringLiteral("n"));
    const QCommandLineOption batchSize(QStringLiteral("batch-size"), QStringLiteral("Records per batch (default: one per subscribed symbol)."), QStringLiteral("n"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the random-walk prices."), QStringLiteral("n"));
    const QCommandLineOption offerUpdate(QStringLiteral("offer-update"), QStringLiteral("Name 7.27 as the latest version until the update archive has been fetched once; with an archive argument, that file is the release served."));
    parser.addPositionalArgument(QStringLiteral("archive"), QStringLiteral("With --offer-update: the release archive to serve (a package zip)."), QStringLiteral("[archive]"));
    const QCommandLineOption brokenUpdate(QStringLiteral("broken-update"), QStringLiteral("Serve the update archive cut short."));
    const QCommandLineOption journal(QStringLiteral("journal"), QStringLiteral("Append what was exchanged to this file: \"api <request>\", \"ws <frame received>\", \"tick <tick line sent>\"."), QStringLiteral("file"));
    const QCommandLineOption outage(QStringLiteral("outage"), QStringLiteral("Drop the tick stream for SECONDS, AFTER seconds from the start (40@60)."), QStringLiteral("SECONDS@AFTER"));
    parser.addOptions({wsPort, rate, batchSize, seed, offerUpdate, brokenUpdate, journal, outage});
    parser.addOptions({port, envelope, failStartup, feeds, daysbox, symbolAllowed, message, noEod, secureKey,
                       backfillPath, backfillPathSlow, backfillPathEod1y, oneDayPath, fiveDayPath, websocketLink,
                       support, latestVersion, latestVersionPath, contracts, failSettings});
    parser.process(app);

    FeedSimOptions options;
    options.offerUpdate = parser.isSet(offerUpdate);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1 || (!positional.isEmpty() && !options.offerUpdate)) {
        QTextStream(stderr) << "feedsim: an archive argument goes with --offer-update only\n";
        return 2;
    }
    if (!positional.isEmpty()) {
        if (!QFile::exists(positional.first())) {
            QTextStream(stderr) << "feedsim: no release archive " << positional.first() << '\n';
            return 2;
        }
        options.updateArchiveFile = positional.first();
    }
    options.brokenUpdate = parser.isSet(brokenUpdate);
    options.envelope = parser.isSet(envelope);
    if (parser.isSet(failStartup)) {
        options.failStartup = true;
        options.failMessage = parser.value(failStartup);
    }
    if (parser.isSet(feeds))
        options.feeds = parser.value(feeds);
    if (parser.isSet(daysbox))
        options.daysbox = parser.value(daysbox).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parser.isSet(symbolAllowed))
        options.symbolAllowed = parser.value(symbolAllowed).toInt();
    if (parser.isSet(message))
        options.message = parser.value(message);
    options.eodEnabled = !parser.isSet(noEod);
    if (parser.isSet(secureKey))
        options.secureKey = parser.value(secureKey);
    options.backfillPath = parser.value(backfillPath);
    options.backfillPathSlow = parser.value(backfillPathSlow);
    options.backfillPathEod1y = parser.value(backfillPathEod1y);
    options.oneDayBackfillPath = parser.value(oneDayPath);
    options.fiveDayBackfillPath = parser.value(fiveDayPath);
    options.websocketLink = parser.value(websocketLink);
    options.support = parser.value(support);
    if (parser.isSet(latestVersion))
        options.latestVersion = parser.value(latestVersion);
    options.latestVersionPath = parser.value(latestVersionPath);
    if (parser.isSet(contracts))
        options.contractCount = qBound(0, parser.value(contracts).toInt(), int(FeedSimOptions::MaxContracts));
    options.getSettingsSuccess = !parser.isSet(failSettings);

    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    if (!portOk || portNumber > 65535) {
        QTextStream(stderr) << "feedsim: bad --port " << parser.value(port) << '\n';
        return 2;
    }

    const uint wsPortNumber = parser.value(wsPort).toUInt(&portOk);
    if (!portOk || wsPortNumber > 65535) {
        QTextStream(stderr) << "feedsim: bad --ws-port " << parser.value(wsPort) << '\n';
        return 2;
    }

    int outageMs = 0;
    int outageAfterMs = 0;
    if (parser.isSet(outage) && !FeedSimStream::parseOutage(parser.value(outage), &outageMs, &outageAfterMs)) {
        QTextStream(stderr) << "feedsim: bad --outage " << parser.value(outage) << " (SECONDS@AFTER)\n";
        return 2;
    }

    FeedSim sim(options);
    if (parser.isSet(rate))
        sim.stream()->setRate(parser.value(rate).toDouble());
    if (parser.isSet(batchSize))
        sim.stream()->setBatchSize(parser.value(batchSize).toInt());
    if (parser.isSet(seed))
        sim.stream()->setSeed(parser.value(seed).toUInt());
    if (!sim.start(quint16(portNumber), quint16(wsPortNumber))) {
        QTextStream(stderr) << "feedsim: cannot listen on port " << portNumber << " / " << wsPortNumber << '\n';
        return 1;
    }
    {
        QTextStream out(stdout);
        out << "feedsim http=" << sim.httpPort() << " ws=" << sim.stream()->port() << '\n';
        out.flush();
    }
    if (outageMs > 0) {
        sim.stream()->scheduleOutage(outageAfterMs, outageMs);
        QObject::connect(sim.stream(), &FeedSimStream::outageStarted, &app, [outageMs] {
            QTextStream(stdout) << "feedsim: stream down for " << outageMs / 1000 << " s" << Qt::endl;
        });
        QObject::connect(sim.stream(), &FeedSimStream::outageEnded, &app,
                         [] { QTextStream(stdout) << "feedsim: stream back" << Qt::endl; });
    }

    // For a test that watches from outside the process: every exchange, one line each.
    QFile journalFile;
    qsizetype ticksJournalled = 0;
    if (parser.isSet(journal)) {
        journalFile.setFileName(parser.value(journal));
        if (!journalFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
            QTextStream(stderr) << "feedsim: cannot write --journal " << parser.value(journal) << '\n';
            return 1;
        }
        auto write = [&journalFile](const QByteArray &kind, const QByteArray &text) {
            journalFile.write(kind + ' ' + text + '\n');
            journalFile.flush();
        };
        QObject::connect(&sim, &FeedSim::apiRequestReceived, &app, [&sim, write](const QString &) {
            write("api", QJsonDocument(sim.lastApiRequest()).toJson(QJsonDocument::Compact));
        });
        QObject::connect(sim.stream(), &FeedSimStream::frameReceived, &app,
                         [write](const QString &frame) { write("ws", frame.toUtf8()); });
        // A batch's lines go out in one write and one flush: at 100,000 ticks a
        // second a flush per line would hold the stream back.
        QObject::connect(sim.stream(), &FeedSimStream::batchSent, &app, [&sim, &journalFile, &ticksJournalled](int) {
            const QByteArray all = sim.stream()->sentTickLines();
            // The stream forgets its lines when its counters are reset.
            if (ticksJournalled > all.size())
                ticksJournalled = 0;
            const char *p = all.constData() + ticksJournalled;
            const char *end = all.constData() + all.size();
            ticksJournalled = all.size();
            QByteArray out;
            out.reserve(int(end - p) + int(end - p) / 8 + 64);
            while (p < end) {
                const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
                const char *lineEnd = nl ? nl : end;
                if (lineEnd > p) {
                    out.append("tick ", 5);
                    out.append(p, int(lineEnd - p));
                    out.append('\n');
                }
                p = lineEnd + 1;
            }
            if (!out.isEmpty()) {
                journalFile.write(out);
                journalFile.flush();
            }
        });
    }

    // The handlers only set a flag; the event loop notices it. SIGUSR1 ends the
    // tick stream but keeps the server up, so a client behind it still gets every
    // batch already sent (a measurement that ends here loses nothing in transit).
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGUSR1
    std::signal(SIGUSR1, onStallSignal);
#endif
    QTimer stopCheck;
    QObject::connect(&stopCheck, &QTimer::timeout, &app, [&sim] {
        if (g_stallRequested.exchange(false))
            sim.stream()->setStalled(true);
        if (g_stopRequested)
            QCoreApplication::quit();
    });
    stopCheck.start(100);
    return app.exec();
}
