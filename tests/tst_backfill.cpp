#include <QtTest>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include "backfill/mydownloader.h"
#include "backfill/ziplisting.h"
#include "feedsimbackfill.h"
#include "httpserver.h"
#include "platform/archiver.h"
#include "testenv.h"
#include "zipwriter.h"

namespace {
constexpr int WaitMs = 10000;
const QDate EndDate(2024, 1, 31); // a Wednesday

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class tst_backfill : public QObject
{
    Q_OBJECT

private:
    HttpServer *m_server = nullptr;
    FeedSimBackfill *m_backfill = nullptr;

    QString url(const QString &pathAndQuery) const { return m_server->baseUrl() + pathAndQuery; }
    QString backfillDir() const { return TestEnv::instance()->path(QStringLiteral("Backfill")); }
    QString intradayUrl(const QString &send, int days = 1) const
    {
        return url(QStringLiteral("/backfill/intraday?uid=ABC&hash=key&d=%1&send=%2").arg(days).arg(send));
    }

    // Runs one job until the downloader reports an outcome (or the wait ends).
    static void runJob(MyDownloader &d, const QString &jobUrl, QSignalSpy &finished, QSignalSpy &errors,
                       int method = 0)
    {
        const int before = finished.count() + errors.count();
        d.initialize(QStringLiteral("job"), jobUrl, d.destination, method);
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() + errors.count() > before, WaitMs);
        // Keep a retry from sending a second request behind the test's back.
        d.retryTimer->stop();
    }

private slots:
    void init()
    {
        TestEnv::instance()->reset();
        qunsetenv("QUILLMARK_7ZA");
        qunsetenv("QUILLMARK_UNZIP");
        m_server = new HttpServer;
        QVERIFY(m_server->listen(0));
        m_backfill = new FeedSimBackfill(m_server);
        m_backfill->setEndDate(EndDate);
    }

    void cleanup()
    {
        delete m_backfill;
        delete m_server;
        m_backfill = nullptr;
        m_server = nullptr;
        qunsetenv("QUILLMARK_7ZA");
        qunsetenv("QUILLMARK_UNZIP");
    }

    void archiverCommands()
    {
        QCOMPARE(Platform::sevenZipProgram(), QStringLiteral("7za"));
        qputenv("QUILLMARK_7ZA", "/opt/7z/7za");
        QCOMPARE(Platform::sevenZipProgram(), QStringLiteral("/opt/7z/7za"));

        Platform::Command c = Platform::fallbackUnpackCommand(QStringLiteral("/r/a.zip"), QStringLiteral("/r/B/"));
        QCOMPARE(c.program, QStringLiteral("unzip"));
        QCOMPARE(c.arguments, (QStringList{"-o", "/r/a.zip", "-d", "/r/B/"}));
        qputenv("QUILLMARK_UNZIP", "/usr/local/bin/unzip");
        QCOMPARE(Platform::fallbackUnpackCommand(QString(), QString()).program, QStringLiteral("/usr/local/bin/unzip"));
    }

    void expandArchiveScript_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("literalArchive");
        QTest::addColumn<QString>("literalDestination");
        QTest::newRow("plain") << "C:/Quillmark/backfilldata.zip" << "C:/Quillmark/Backfill/"
                               << "C:/Quillmark/backfilldata.zip" << "C:/Quillmark/Backfill/";
        QTest::newRow("apostrophe in destination") << "C:/Quillmark/b.zip" << "C:/Users/O'Brien/Backfill/"
                                                   << "C:/Quillmark/b.zip" << "C:/Users/O''Brien/Backfill/";
        QTest::newRow("apostrophes in both") << "C:/it's/b.zip" << "C:/a'b'c/" << "C:/it''s/b.zip" << "C:/a''b''c/";
        QTest::newRow("injection attempt") << "C:/q.zip" << "C:/x'; Remove-Item C:/ -Recurse; '"
                                           << "C:/q.zip" << "C:/x''; Remove-Item C:/ -Recurse; ''";
    }

    void expandArchiveScript()
    {
        QFETCH(QString, archive);
        QFETCH(QString, destination);
        QFETCH(QString, literalArchive);
        QFETCH(QString, literalDestination);
        QCOMPARE(Platform::expandArchiveScript(archive, destination),
                 QStringLiteral("try { Expand-Archive -Force -LiteralPath '%1' -DestinationPath '%2' "
                                "-ErrorAction Stop } catch { exit 1 }")
                     .arg(literalArchive, literalDestination));
    }

    void speedText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("kilobytes") << qint64(1536) << qint64(1000) << "1.5 KB/s";
        QTest::newRow("exactly 1024 stays bytes") << qint64(1024) << qint64(1000) << "1024.0 B/s";
        QTest::newRow("just over 1024") << qint64(1025) << qint64(1000) << "1.0 KB/s";
        QTest::newRow("megabytes") << qint64(1363149) << qint64(1000) << "1.3 MB/s";
        QTest::newRow("half a second") << qint64(512) << qint64(500) << "1024.0 B/s";
        QTest::newRow("first millisecond") << qint64(1) << qint64(0) << "1000.0 B/s";
        QTest::newRow("nothing yet") << qint64(0) << qint64(250) << "0.0 B/s";
    }

    void speedText()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, elapsedMs);
        QFETCH(QString, expected);
        QCOMPARE(MyDownloader::speedText(bytes, elapsedMs), expected);
    }

    void progressText_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("expected");
        QTest::newRow("part") << qint64(425) << qint64(1000) << "42.5%";
        QTest::newRow("all") << qint64(7) << qint64(7) << "100.0%";
        QTest::newRow("one third") << qint64(1) << qint64(3) << "33.3%";
        QTest::newRow("unknown size") << qint64(500) << qint64(-1) << "--%";
        QTest::newRow("zero size") << qint64(0) << qint64(0) << "--%";
    }

    void progressText()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(QString, expected);
        QCOMPARE(MyDownloader::progressText(received, total), expected);
    }

    void zipListingJudgesNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("unsafe");
        QTest::newRow("plain") << QByteArray("NIFTY-I.txt") << false;
        QTest::newRow("sub folder") << QByteArray("day1/NIFTY-I.txt") << false;
        QTest::newRow("folder entry") << QByteArray("day1/") << false;
        QTest::newRow("dots inside a name") << QByteArray("a..b.txt") << false;
        QTest::newRow("dot dot prefix of a name") << QByteArray("..hidden") << false;
        QTest::newRow("parent") << QByteArray("../x") << true;
        QTest::newRow("parent deeper") << QByteArray("a/../../x") << true;
        QTest::newRow("parent with backslash") << QByteArray("..\\x") << true;
        QTest::newRow("parent at the end") << QByteArray("a/..") << true;
        QTest::newRow("absolute") << QByteArray("/etc/x") << true;
        QTest::newRow("absolute backslash") << QByteArray("\\Windows\\x") << true;
        QTest::newRow("drive") << QByteArray("C:/x") << true;
        QTest::newRow("drive relative") << QByteArray("C:x") << true;
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("nul inside") << QByteArray("a\0/../../x", 10) << true;
        // Windows drops trailing dots and blanks from a path step: ".. " is "..".
        QTest::newRow("parent with a trailing blank") << QByteArray("a/.. /.. /x") << true;
        QTest::newRow("three dots") << QByteArray(".../x") << true;
        QTest::newRow("a single dot") << QByteArray("./x") << false;
    }

    void zipListingJudgesNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, unsafe);
        QCOMPARE(ZipListing::isUnsafeName(name), unsafe);

        // The same judgement through a whole archive, next to a harmless entry.
        ZipWriter zip;
        zip.addFile("ok.txt", "fine\n");
        zip.addFile(name, "payload\n");
        const ZipListing listing = ZipListing::fromData(zip.archive());
        QVERIFY(listing.isValid());
        QCOMPARE(listing.isSafeToExtract(), !unsafe);
    }

    void zipListingReadsWhatWasWritten()
    {
        ZipWriter zip;
        const QByteArray a = FeedSimBackfill::intradayFile(QStringLiteral("NIFTY-I"), 1, EndDate);
        zip.addFile("NIFTY-I.txt", a);
        zip.addFile("M&M.txt", "x\n");
        zip.addFile("empty.txt", QByteArray());
        const QByteArray bytes = zip.archive();
        const ZipListing listing = ZipListing::fromData(bytes);
        QVERIFY2(listing.isValid(), qPrintable(listing.error()));
        QCOMPARE(listing.names(), (QStringList{"NIFTY-I.txt", "M&M.txt", "empty.txt"}));
        QCOMPARE(listing.entries().at(0).size, quint64(a.size()));
        QCOMPARE(listing.entries().at(0).crc32, ZipWriter::crc32(a));
        QVERIFY(listing.isSafeToExtract());
        QCOMPARE(ZipWriter::crc32("123456789"), 0xCBF43926u); // the CRC-32 check value

        // 7-Zip agrees that the archive is sound.
        const QString path = TestEnv::instance()->path(QStringLiteral("written.zip"));
        QVERIFY(writeFile(path, bytes));
        QProcess sevenZip;
        sevenZip.start(QStringLiteral("7za"), {QStringLiteral("t"), path});
        QVERIFY(sevenZip.waitForFinished(WaitMs));
        QCOMPARE(sevenZip.exitCode(), 0);
    }

    // Archives of real writers (tests/data/zip/make_corpus.py): what 7-Zip unpacks
    // is accepted, what escapes the folder or 7-Zip cannot unpack is refused.
    void zipCorpus_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("accepted");
        const QString dir = QStringLiteral(QM_TEST_DATA_DIR "/zip/");
        const QList<QByteArray> lines = readFile(dir + QStringLiteral("corpus.txt")).split('\n');
        int rows = 0;
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() != 2 || line.startsWith('#'))
                continue;
            QTest::newRow(fields.at(0).constData()) << dir + QString::fromUtf8(fields.at(0)) << (fields.at(1) == "accept");
            ++rows;
        }
        if (rows == 0)
            QTest::newRow("corpus missing") << dir << true;
    }

    void zipCorpus()
    {
        QFETCH(QString, path);
        QFETCH(bool, accepted);
        const ZipListing listing = ZipListing::fromFile(path);
        QString why;
        QVERIFY2(listing.isSafeToExtract(&why) == accepted, qPrintable(why));
        if (!accepted)
            return;
        QVERIFY(!listing.entries().isEmpty());
        for (const ZipListing::Entry &e : listing.entries())
            QCOMPARE(e.localName, e.name);

        // 7-Zip, where it is installed, unpacks exactly the names that were judged.
        const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7za"));
        if (sevenZip.isEmpty())
            return;
        const QString out = TestEnv::instance()->path(QStringLiteral("corpus"));
        QProcess unpack;
        unpack.start(sevenZip, {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-o") + out, path});
        QVERIFY(unpack.waitForFinished(WaitMs));
        QCOMPARE(unpack.exitCode(), 0);
        int files = 0;
        for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
            ++files;
        QCOMPARE(files, listing.entries().size());
        for (const ZipListing::Entry &e : listing.entries()) {
            // A name without the UTF-8 flag is in a code page the unpacker picks itself.
            const QString name = e.unicodeName.isEmpty() ? e.name : e.unicodeName;
            if (e.unicodeName.isEmpty() && QByteArray(name.toUtf8()) != name.toLatin1())
                continue;
            QVERIFY2(QFileInfo(out + QLatin1Char('/') + name).isFile(), qPrintable(name));
        }
    }

    void zipListingRefusesDamagedArchives_data()
    {
        ZipWriter zip;
        zip.addFile("a.txt", QByteArray(300, 'a'));
        zip.addFile("b.txt", QByteArray(300, 'b'));
        const QByteArray good = zip.archive();

        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html") << QByteArray("<!DOCTYPE html><html><body>Bad Gateway</body></html>");
        QTest::newRow("no data") << QByteArray("No data");
        QTest::newRow("cut in the middle") << good.left(good.size() * 3 / 5);
        QTest::newRow("end record only") << good.right(22);
        QByteArray tarLike = good;
        tarLike.replace(0, 4, "7z\xBC\xAF");
        QTest::newRow("another format in front") << tarLike;
        QByteArray badOffset = good;
        badOffset[good.size() - 3] = char(0x7F); // central directory offset past the end
        QTest::newRow("directory outside") << badOffset;
        QByteArray manyEntries = good;
        manyEntries[good.size() - 12] = char(0xFF); // total entries
        QTest::newRow("count too large") << manyEntries;
    }

    void zipListingRefusesDamagedArchives()
    {
        QFETCH(QByteArray, bytes);
        const ZipListing listing = ZipListing::fromData(bytes);
        QVERIFY(!listing.isValid());
        QVERIFY(!listing.error().isEmpty());
        QVERIFY(!listing.isSafeToExtract());
    }

    void zipListingChecksLocalNamesToo()
    {
        // The directory says "aa/x.txt", the local header "../x.txt": an unpacker
        // that reads local headers would escape.
        ZipWriter zip;
        zip.addFile("aa/x.txt", "payload\n");
        QByteArray bytes = zip.archive();
        const int local = bytes.indexOf("aa/x.txt");
        QVERIFY(local > 0 && local < 40);
        bytes.replace(local, 3, "../");
        const ZipListing listing = ZipListing::fromData(bytes);
        QVERIFY(listing.isValid());
        QCOMPARE(listing.entries().at(0).name, QStringLiteral("aa/x.txt"));
        QCOMPARE(listing.entries().at(0).localName, QStringLiteral("../x.txt"));
        QVERIFY(!listing.isSafeToExtract());

        ZipWriter links;
        links.addSymlink("outside", "..");
        QVERIFY(!ZipListing::fromData(links.archive()).isSafeToExtract());
    }

    void requestShape_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("pathAndQuery");
        QTest::addColumn<QByteArray>("seenMethod");
        QTest::addColumn<QString>("seenQuery");
        QTest::addColumn<QByteArray>("seenBody");
        QTest::newRow("get keeps the query") << 0 << "/echo/x?uid=A&send=M%26M" << QByteArray("GET")
                                             << "uid=A&send=M%26M" << QByteArray();
        QTest::newRow("post moves the query into the body")
            << 1 << "/echo/x?uid=A&d=5&send=M%26M" << QByteArray("POST") << QString()
            << QByteArray("uid=A&d=5&send=M%26M");
        QTest::newRow("post splits at the first question mark")
            << 2 << "/echo/x?a=1?b=2" << QByteArray("POST") << QString() << QByteArray("a=1?b=2");
        QTest::newRow("post without a query") << 1 << "/echo/x" << QByteArray("POST") << QString() << QByteArray();
    }

    void requestShape()
    {
        QFETCH(int, method);
        QFETCH(QString, pathAndQuery);
        QFETCH(QByteArray, seenMethod);
        QFETCH(QString, seenQuery);
        QFETCH(QByteArray, seenBody);

        m_server->addRoute(QStringLiteral("/echo"), [](const HttpRequest &, HttpResponder *r) {
            r->respond(200, "text/plain", "some data that is not an archive\n");
        });
        MyDownloader d(QStringLiteral("echo.txt"), QStringLiteral("http://127.0.0.1:1/"), QString());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, url(pathAndQuery), finished, errors, method);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(m_server->requestCount(QStringLiteral("/echo")), 1);

        const HttpRequest seen = m_server->lastRequest(QStringLiteral("/echo"));
        QCOMPARE(seen.method, seenMethod);
        QCOMPARE(seen.path, QStringLiteral("/echo/x"));
        QCOMPARE(seen.query, seenQuery);
        QCOMPARE(seen.body, seenBody);
        QCOMPARE(seen.header("connection").toLower(), QByteArray("keep-alive"));
        if (method != 0)
            QCOMPARE(seen.header("content-type"), QByteArray("application/x-www-form-urlencoded"));
        else
            QVERIFY(seen.header("content-type").isEmpty());
    }

    void redirectsAreFollowed()
    {
        m_server->addRoute(QStringLiteral("/moved"), [this](const HttpRequest &, HttpResponder *r) {
            r->respond(302, "text/plain", QByteArray(),
                       {{"Location", url(QStringLiteral("/echo/target")).toUtf8()}});
        });
        m_server->addRoute(QStringLiteral("/echo"), [](const HttpRequest &, HttpResponder *r) {
            r->respond(200, "text/plain", "redirected data\n");
        });
        MyDownloader d(QStringLiteral("moved.txt"), QString(), QString());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, url(QStringLiteral("/moved")), finished, errors);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(readFile(d.archivePath()), QByteArray("redirected data\n"));
    }

    void progressWithoutLength()
    {
        m_backfill->setAnswer(BackfillAnswer::NoLength);
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy progress(&d, &MyDownloader::updateProgress2);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, intradayUrl(QStringLiteral("NIFTY-I")), finished, errors);
        QCOMPARE(finished.count(), 1);
        QVERIFY(progress.count() > 0);
        for (const QList<QVariant> &step : qAsConst(progress)) {
            QCOMPARE(step.at(0).toString(), QStringLiteral("--%"));
            QCOMPARE(step.at(1).toString(), QString());
        }
        QCOMPARE(readFile(backfillDir() + QStringLiteral("/NIFTY-I.txt")),
                 FeedSimBackfill::intradayFile(QStringLiteral("NIFTY-I"), 1, EndDate));
    }

    void progressWithLength()
    {
        m_backfill->setAnswer(BackfillAnswer::Trickle);
        m_backfill->setTrickle(4096, 60); // progress notices come at most every 100 ms
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy progress(&d, &MyDownloader::updateProgress);
        QSignalSpy progress2(&d, &MyDownloader::updateProgress2);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, intradayUrl(QStringLiteral("NIFTY-I,BANKNIFTY-I")), finished, errors);
        QCOMPARE(finished.count(), 1);
        QVERIFY(progress2.count() >= 2);
        // Both signals carry the same texts; the first also gets the final "100%".
        QCOMPARE(progress.count(), progress2.count() + 1);
        QCOMPARE(progress.last().at(0).toString(), QStringLiteral("100%"));
        QCOMPARE(progress.last().at(1).toString(), QString());
        double last = -1;
        const QRegularExpression percent(QStringLiteral("^\\d+\\.\\d%$"));
        const QRegularExpression speed(QStringLiteral("^\\d+\\.\\d (B|KB|MB)/s$"));
        for (int i = 0; i < progress2.count(); ++i) {
            const QString p = progress2.at(i).at(0).toString();
            QCOMPARE(progress.at(i).at(0).toString(), p);
            QVERIFY2(percent.match(p).hasMatch(), qPrintable(p));
            QVERIFY2(speed.match(progress2.at(i).at(1).toString()).hasMatch(),
                     qPrintable(progress2.at(i).at(1).toString()));
            const double value = p.chopped(1).toDouble();
            QVERIFY(value >= last);
            last = value;
        }
        QCOMPARE(progress2.last().at(0).toString(), QStringLiteral("100.0%"));
        QCOMPARE(m_backfill->linesServed(QStringLiteral("NIFTY-I")), FeedSimBackfill::BarsPerDay);
        QCOMPARE(m_backfill->linesServed(QStringLiteral("BANKNIFTY-I")), FeedSimBackfill::BarsPerDay);
    }

    void retryDelaysGrowAndReset()
    {
        m_backfill->setAnswer(BackfillAnswer::ServerError);
        MyDownloader d(QStringLiteral("retry.txt"), QString(), QString());
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("A")), QString());
        QVERIFY(d.retryTimer->isActive());
        QCOMPARE(d.retryTimer->interval(), 1);

        const QList<int> waits{1800, 3240, 5832, 10497, 18894, 30000, 30000};
        for (int i = 0; i < waits.size(); ++i) {
            // Fire the retry at once instead of waiting for it.
            d.retryTimer->stop();
            d.requestData();
            QTRY_COMPARE_WITH_TIMEOUT(errors.count(), i + 1, WaitMs);
            QVERIFY(d.retryTimer->isActive());
            QVERIFY(d.retryTimer->isSingleShot());
            QCOMPARE(d.retryTimer->interval(), waits.at(i));
            QCOMPARE(d.currentRetryCount(), i + 1);
        }
        QCOMPARE(m_backfill->requestCount(), waits.size());

        // One success puts the wait back to 1000 ms and the count to 0 ...
        m_backfill->setAnswer(BackfillAnswer::Normal);
        d.retryTimer->stop();
        d.requestData();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, WaitMs);
        QCOMPARE(d.currentRetryDelay(), 1000);
        QCOMPARE(d.currentRetryCount(), 0);
        QVERIFY(!d.retryTimer->isActive());

        // ... so the next failure waits 1800 ms again.
        m_backfill->failNext(1);
        d.requestData();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), waits.size() + 1, WaitMs);
        QCOMPARE(d.retryTimer->interval(), 1800);
        d.retryTimer->stop();
    }

    void retryTimerRequestsAgain()
    {
        m_backfill->failNext(1);
        MyDownloader d(QStringLiteral("again.txt"), QString(), QString());
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("A")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QCOMPARE(d.retryTimer->interval(), 1800);
        d.retryTimer->start(1); // the same timer, sooner
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, WaitMs);
        QCOMPARE(m_backfill->requestCount(), 2);
    }

    void initializeSupersedesTheJob()
    {
        m_backfill->setAnswer(BackfillAnswer::ServerError);
        MyDownloader d(QStringLiteral("super.txt"), QString(), QString());
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("one"), intradayUrl(QStringLiteral("A")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, WaitMs); // retried after 1800 ms
        QCOMPARE(d.retryTimer->interval(), 3240);

        d.initialize(QStringLiteral("two"), intradayUrl(QStringLiteral("B")), QStringLiteral("dest"), 1);
        QCOMPARE(d.fileName, QStringLiteral("two"));
        QCOMPARE(d.destination, QStringLiteral("dest"));
        QCOMPARE(d.currentMethod(), 1);
        QCOMPARE(d.currentRetryDelay(), 1000);
        QCOMPARE(d.currentRetryCount(), 0);
        QCOMPARE(d.retryTimer->interval(), 1);
        QVERIFY(d.retryTimer->isActive());
        QVERIFY(!d.timeoutTimer->isActive());
        d.retryTimer->stop();
    }

    void transferTimeOut()
    {
        m_backfill->setAnswer(BackfillAnswer::Stall);
        MyDownloader d(QStringLiteral("slow.txt"), QString(), QString());
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        // The main window connects to the same timer when it builds the
        // downloader; its handler must run before the downloader's own.
        QStringList order;
        connect(d.timeoutTimer, &QTimer::timeout, this, [&order, &d]() {
            order << (d.retryTimer->isActive() ? QStringLiteral("after abort") : QStringLiteral("before abort"));
        });
        QVERIFY(!d.timeoutTimer->isActive());
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("A")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_backfill->requestCount(), 1, WaitMs);
        QVERIFY(d.timeoutTimer->isActive());
        QVERIFY(d.timeoutTimer->isSingleShot());
        QCOMPARE(d.timeoutTimer->interval(), 90000);
        QVERIFY(!d.retryTimer->isActive());

        // Let the armed timer run out now rather than in 90 s.
        d.timeoutTimer->start(1);
        QTRY_VERIFY_WITH_TIMEOUT(d.retryTimer->isActive(), WaitMs);
        QCOMPARE(d.retryTimer->interval(), 10000);
        QCOMPARE(d.currentRetryCount(), 1);
        QCOMPARE(errors.count(), 0); // the downloader itself stays silent
        QCOMPARE(finished.count(), 0);
        QCOMPARE(order, QStringList{QStringLiteral("before abort")});

        // The re-request (made sooner here) arms a fresh 90 s time-out.
        d.retryTimer->start(1);
        QTRY_COMPARE_WITH_TIMEOUT(m_backfill->requestCount(), 2, WaitMs);
        QVERIFY(d.timeoutTimer->isActive());
        QCOMPARE(d.timeoutTimer->interval(), 90000);
        QVERIFY(d.timeoutTimer->remainingTime() > 80000);

        // A reply that completes stops it.
        m_backfill->setAnswer(BackfillAnswer::ServerError);
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("A")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QVERIFY(!d.timeoutTimer->isActive());
        d.retryTimer->stop();
    }

    void unpackers_data()
    {
        QTest::addColumn<QByteArray>("sevenZip");
        QTest::addColumn<QByteArray>("unzip");
        QTest::addColumn<int>("answer");
        const int normal = int(BackfillAnswer::Normal);
        const int trailing = int(BackfillAnswer::TrailingLine);
        QTest::newRow("7-Zip") << QByteArray() << QByteArray() << normal;
        QTest::newRow("7-Zip missing, fallback") << QByteArray("/nonexistent/7za") << QByteArray() << normal;
        QTest::newRow("7-Zip failing, fallback") << QByteArray("false") << QByteArray() << normal;
        // A server script that echoes a line feed after the archive.
        QTest::newRow("line after the archive, 7-Zip") << QByteArray() << QByteArray() << trailing;
        QTest::newRow("line after the archive, fallback") << QByteArray("/nonexistent/7za") << QByteArray() << trailing;
    }

    void unpackers()
    {
        QFETCH(QByteArray, sevenZip);
        QFETCH(QByteArray, unzip);
        QFETCH(int, answer);
        m_backfill->setAnswer(BackfillAnswer(answer));
        if (!sevenZip.isEmpty())
            qputenv("QUILLMARK_7ZA", sevenZip);
        if (!unzip.isEmpty())
            qputenv("QUILLMARK_UNZIP", unzip);

        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, intradayUrl(QStringLiteral("NIFTY-I,M%26M"), 3), finished, errors);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(filesIn(backfillDir()), (QStringList{"M&M.txt", "NIFTY-I.txt"}));
        for (const QString &symbol : {QStringLiteral("NIFTY-I"), QStringLiteral("M&M")}) {
            const QByteArray content = readFile(backfillDir() + QLatin1Char('/') + symbol + QStringLiteral(".txt"));
            QCOMPARE(content, FeedSimBackfill::intradayFile(symbol, 3, EndDate));
            QCOMPARE(content.count('\n'), m_backfill->linesServed(symbol));
            QCOMPARE(content.count('\n'), 3 * FeedSimBackfill::BarsPerDay);
            QVERIFY(content.startsWith("2024-01-29," + symbol.toUtf8() + ",09:15:00,"));
        }
        QVERIFY(!QFile::exists(d.archivePath())); // deleted after a good unpack
        QVERIFY(!d.retryTimer->isActive());
    }

    void unpackFailures_data()
    {
        QTest::addColumn<QByteArray>("sevenZip");
        QTest::addColumn<QByteArray>("unzip");
        QTest::addColumn<bool>("retried");
        QTest::newRow("fallback fails: no retry") << QByteArray("false") << QByteArray("false") << false;
        QTest::newRow("fallback cannot start: download again")
            << QByteArray("/nonexistent/7za") << QByteArray("/nonexistent/unzip") << true;
    }

    void unpackFailures()
    {
        QFETCH(QByteArray, sevenZip);
        QFETCH(QByteArray, unzip);
        QFETCH(bool, retried);
        qputenv("QUILLMARK_7ZA", sevenZip);
        qputenv("QUILLMARK_UNZIP", unzip);

        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("A")), backfillDir());
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QCOMPARE(d.retryTimer->isActive(), retried);
        if (retried)
            QCOMPARE(d.retryTimer->interval(), 1000);
        d.retryTimer->stop();
        // A failure is reported once, however many notifications the process gives.
        QTest::qWait(200);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(finished.count(), 0);
        QVERIFY(QFile::exists(d.archivePath())); // kept after a failed unpack
    }

    void refusedArchives_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("withSevenZip");
        QTest::addColumn<QString>("reason");
        // The folder is the test's own, known when the row runs.
        const QString outside = QStringLiteral("the archive would write outside %BACKFILL%");
        const QString unreadable = QStringLiteral("the archive could not be read (");
        const struct
        {
            const char *name;
            BackfillAnswer answer;
            QString reason;
        } answers[] = {{"zip slip", BackfillAnswer::ZipSlip, outside},
                       {"absolute path", BackfillAnswer::AbsolutePath, outside},
                       {"symbolic link", BackfillAnswer::Symlink, outside},
                       {"truncated zip", BackfillAnswer::Truncated, unreadable},
                       {"html page", BackfillAnswer::HtmlPage, unreadable}};
        for (const auto &a : answers) {
            QTest::addRow("%s, 7-Zip", a.name) << int(a.answer) << true << a.reason;
            QTest::addRow("%s, fallback", a.name) << int(a.answer) << false << a.reason;
        }
    }

    void refusedArchives()
    {
        QFETCH(int, answer);
        QFETCH(bool, withSevenZip);
        QFETCH(QString, reason);
        reason.replace(QStringLiteral("%BACKFILL%"), QDir::toNativeSeparators(backfillDir()));
        if (!withSevenZip)
            qputenv("QUILLMARK_7ZA", "/nonexistent/7za");
        const QString root = TestEnv::instance()->root();
        const QString absolute = root + QStringLiteral("/elsewhere/feedsim_absolute.txt");
        m_backfill->setAbsoluteTarget(absolute);
        m_backfill->setAnswer(BackfillAnswer(answer));

        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir() + QStringLiteral("/"));
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy refused(&d, &MyDownloader::refused);
        d.initialize(QStringLiteral("job"), intradayUrl(QStringLiteral("NIFTY-I")), backfillDir() + QStringLiteral("/"));
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QTest::qWait(300); // room for a stray unpacker to write, were one started
        QCOMPARE(errors.count(), 1);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!d.retryTimer->isActive()); // a bad archive is not fetched again and again
        QVERIFY(!QFile::exists(root + QLatin1Char('/') + QLatin1String(FeedSimBackfill::SlipName)));
        QVERIFY(!QFile::exists(absolute));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/outside")));
        QVERIFY(filesIn(backfillDir()).isEmpty()); // nothing unpacked at all
        // Said in words, and nothing of it left on the disk.
        QCOMPARE(refused.count(), 1);
        QVERIFY2(refused.first().first().toString().startsWith(reason), qPrintable(refused.first().first().toString()));
        QVERIFY(!QFile::exists(d.archivePath()));
    }

    void cutTransferIsRetried()
    {
        m_backfill->setAnswer(BackfillAnswer::CutTransfer);
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, intradayUrl(QStringLiteral("NIFTY-I")), finished, errors);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(d.currentRetryCount(), 1);
        QCOMPARE(d.currentRetryDelay(), 1800);
        QVERIFY(!QFile::exists(d.archivePath()));
    }

    // The archive's place is a full disk: the write is buffered and only the flush
    // learns that nothing was stored. The job is not dropped: it says so, keeps the
    // download and stores it once there is room.
    void fullDiskWaitsForRoom()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full");
        MyDownloader d(QStringLiteral("full.txt"), QString(), backfillDir());
        d.setDiskRetryInterval(50);
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), d.archivePath()));
        const QByteArray line = "2024-01-31,A,09:15:00,1,1,1,1,1,1\n";
        int requests = 0;
        m_server->addRoute(QStringLiteral("/small"), [&](const HttpRequest &, HttpResponder *r) {
            ++requests;
            r->respond(200, "text/plain", line);
        });
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        QSignalSpy waiting(&d, &MyDownloader::waitingForDisk);
        QSignalSpy room(&d, &MyDownloader::diskRoomAgain);
        d.initialize(QStringLiteral("job"), url(QStringLiteral("/small")), backfillDir());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, WaitMs);
        QCOMPARE(waiting.count(), 1);
        QCOMPARE(room.count(), 1);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(requests, 1); // kept, not fetched again
        QCOMPARE(readFile(backfillDir() + QStringLiteral("/full.txt")), line);
    }

    void plainFilesAreMoved_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("moved");
        QTest::newRow("into the destination") << QStringLiteral("Backfill/") << true;
        QTest::newRow("new nested destination") << QStringLiteral("deep/er/") << true;
        QTest::newRow("empty destination leaves it") << QString() << false;
        QTest::newRow("destination is the archive's folder") << QStringLiteral(".") << false;
    }

    void plainFilesAreMoved()
    {
        QFETCH(QString, destination);
        QFETCH(bool, moved);
        const QString root = TestEnv::instance()->root();
        const QString dest = destination.isEmpty() ? QString() : root + QLatin1Char('/') + destination;
        m_server->addRoute(QStringLiteral("/csv"), [](const HttpRequest &, HttpResponder *r) {
            r->respond(200, "text/plain", "2024-01-31,RELIANCE,2500,2510,2490,2505,1000,0\n");
        });
        MyDownloader d(QStringLiteral("RELIANCE.txt"), QString(), QString());
        if (destination == QLatin1String("Backfill/")) // a stale copy at the target is replaced
            QVERIFY(writeFile(QDir(dest).filePath(QStringLiteral("RELIANCE.txt")), "stale\n"));
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("job"), url(QStringLiteral("/csv")), dest);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, WaitMs);
        QCOMPARE(errors.count(), 0);
        const QString where = moved ? QDir(dest).filePath(QStringLiteral("RELIANCE.txt")) : d.archivePath();
        QCOMPARE(readFile(where), QByteArray("2024-01-31,RELIANCE,2500,2510,2490,2505,1000,0\n"));
        QCOMPARE(QFile::exists(d.archivePath()), !moved);
    }

    void plainFileThatCannotBeMoved()
    {
        // The destination is a regular file: nothing can be put "into" it, and
        // calling that a finished download would lose the data unseen.
        const QString blocker = TestEnv::instance()->path(QStringLiteral("Backfill"));
        QVERIFY(writeFile(blocker, "not a folder\n"));
        m_server->addRoute(QStringLiteral("/csv"), [](const HttpRequest &, HttpResponder *r) {
            r->respond(200, "text/plain", "line\n");
        });
        MyDownloader d(QStringLiteral("plain.txt"), QString(), QString());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("job"), url(QStringLiteral("/csv")), blocker);
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, WaitMs);
        QCOMPARE(finished.count(), 0);
        QVERIFY(QFile::exists(d.archivePath()));
    }

    void eodArchives_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("feed");
        QTest::addColumn<int>("linesPerSymbol");
        QTest::newRow("recent, dated path") << "/backfillS21/e/2024-01-31/eodpath/CASH-1.zip" << "CASH" << 5;
        QTest::newRow("recent, short path") << "/backfillS21/e/COMM-1.zip" << "COMM" << 5;
        QTest::newRow("current year") << "/backfillS21/e/SPOT-2.zip" << "SPOT" << 23; // January 2024
        QTest::newRow("past year") << "/backfillS21/e/FUTURE-3.zip" << "FUTURE" << 260; // weekdays of 2023
    }

    void eodArchives()
    {
        QFETCH(QString, path);
        QFETCH(QString, feed);
        QFETCH(int, linesPerSymbol);
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, url(path), finished, errors);
        QCOMPARE(finished.count(), 1);
        const QStringList symbols = FeedSimBackfill::feedSymbols(feed);
        QVERIFY(symbols.size() >= 3);
        QCOMPARE(filesIn(backfillDir()).size(), symbols.size());
        for (const QString &symbol : symbols) {
            const QByteArray content = readFile(backfillDir() + QLatin1Char('/') + FeedSimBackfill::entryName(symbol));
            QCOMPARE(content.count('\n'), linesPerSymbol);
            QCOMPARE(m_backfill->linesServed(symbol), linesPerSymbol);
            const QList<QByteArray> fields = content.left(content.indexOf('\n')).split(',');
            QCOMPARE(fields.size(), 8);
            QCOMPARE(QString::fromUtf8(fields.at(1)), symbol);
        }
    }

    void eodOneYearAndUnknownFeed()
    {
        MyDownloader d(QStringLiteral("backfilldata.zip"), QString(), backfillDir());
        QSignalSpy finished(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        runJob(d, url(QStringLiteral("/backfill/eod1y?uid=ABC&hash=key&send=RELIANCE")), finished, errors);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(filesIn(backfillDir()), QStringList{QStringLiteral("RELIANCE.txt")});
        const QByteArray year = readFile(backfillDir() + QStringLiteral("/RELIANCE.txt"));
        QCOMPARE(year, FeedSimBackfill::dailyFile(QStringLiteral("RELIANCE"), QDate(2023, 2, 1), EndDate));
        QCOMPARE(year.count('\n'), 261); // weekdays from 2023-02-01 to 2024-01-31
        QVERIFY(year.startsWith("2023-02-01,RELIANCE,"));

        runJob(d, url(QStringLiteral("/backfillS21/e/NOPE-1.zip")), finished, errors);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(d.currentRetryDelay(), 1800);
    }
};

QM_TEST_MAIN(tst_backfill)
#include "tst_backfill.moc"
