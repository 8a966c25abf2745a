#include <QtTest>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>

#include "common/settingskeys.h"
#include "backfill/eoddata.h"
#include "testenv.h"

namespace {

QString key(const char *k)
{
    return QLatin1String(k);
}

QComboBox *feedBox(eoddata *d)
{
    return d->findChild<QComboBox *>(QStringLiteral("eodFeedBox"));
}
QComboBox *periodBox(eoddata *d)
{
    return d->findChild<QComboBox *>(QStringLiteral("eodDataSelectorBox"));
}
QCheckBox *watchListBox(eoddata *d)
{
    return d->findChild<QCheckBox *>(QStringLiteral("selectedSymbolsBackfill"));
}
QPushButton *backfillButton(eoddata *d)
{
    return d->findChild<QPushButton *>(QStringLiteral("backfillButton"));
}

} // namespace

class tst_eoddata : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TestEnv::instance()->reset();
    }

    void firstUseEmitsCashRecent()
    {
        QPointer<eoddata> dlg = new eoddata;
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Quillmark EOD"));
        QVERIFY(!dlg->windowIcon().isNull());
        QCOMPARE(feedBox(dlg)->currentText(), QStringLiteral("CASH"));
        QCOMPARE(periodBox(dlg)->currentText(), QStringLiteral("recent"));
        QVERIFY(watchListBox(dlg)->isChecked());
        QVERIFY(dlg->selectedOnly);
        // Restoring the defaults is not a choice: nothing is stored yet.
        QVERIFY(QSettings().allKeys().isEmpty());

        QSignalSpy spy(dlg.data(), &eoddata::doBackfill);
        dlg->show();
        QTest::mouseClick(backfillButton(dlg), Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("CASH-1.zip"));

        QSettings store;
        QCOMPARE(store.value(key(Keys::LastFeed)).toString(), QStringLiteral("CASH"));
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorIndex)).toInt(), 0);
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorText)).toString(), QStringLiteral("recent"));
        // The dialog goes away by itself once the request is out.
        QTRY_VERIFY_WITH_TIMEOUT(dlg.isNull(), 1000);
    }

    void archiveNameFollowsChoices_data()
    {
        QTest::addColumn<int>("feed");
        QTest::addColumn<int>("period");
        QTest::addColumn<QString>("archive");
        QTest::newRow("future current year") << 1 << 1 << QStringLiteral("FUTURE-2.zip");
        QTest::newRow("comm past years") << 2 << 2 << QStringLiteral("COMM-3.zip");
        QTest::newRow("spot recent") << 3 << 0 << QStringLiteral("SPOT-1.zip");
    }
    void archiveNameFollowsChoices()
    {
        QFETCH(int, feed);
        QFETCH(int, period);
        QFETCH(QString, archive);

        QPointer<eoddata> dlg = new eoddata;
        feedBox(dlg)->setCurrentIndex(feed);
        periodBox(dlg)->setCurrentIndex(period);
        watchListBox(dlg)->setChecked(false); // not clicked: read from the box at "Backfill"

        bool selectedOnlyDuringEmit = true;
        connect(dlg.data(), &eoddata::doBackfill, this, [&](const QString &) {
            selectedOnlyDuringEmit = dlg->selectedOnly;
        });
        QSignalSpy spy(dlg.data(), &eoddata::doBackfill);
        backfillButton(dlg)->click();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), archive);
        QVERIFY(!selectedOnlyDuringEmit);

        // The next dialog comes back with the same choices.
        QTRY_VERIFY_WITH_TIMEOUT(dlg.isNull(), 1000);
        eoddata again;
        QCOMPARE(feedBox(&again)->currentIndex(), feed);
        QCOMPARE(periodBox(&again)->currentIndex(), period);
    }

    void storedChoicesAreRestored_data()
    {
        QTest::addColumn<QVariant>("lastFeed");
        QTest::addColumn<QVariant>("lastIndex");
        QTest::addColumn<QVariant>("lastText");
        QTest::addColumn<QString>("feed");
        QTest::addColumn<QString>("period");
        QTest::newRow("both valid") << QVariant(QStringLiteral("COMM")) << QVariant(2) << QVariant(QStringLiteral("recent"))
                                    << QStringLiteral("COMM") << QStringLiteral("pastYears");
        QTest::newRow("feed no longer listed") << QVariant(QStringLiteral("OPTION")) << QVariant(1) << QVariant()
                                               << QStringLiteral("CASH") << QStringLiteral("currentYear");
        QTest::newRow("feed differs in case") << QVariant(QStringLiteral("spot")) << QVariant() << QVariant()
                                              << QStringLiteral("CASH") << QStringLiteral("recent");
        QTest::newRow("index out of range falls back to text")
            << QVariant() << QVariant(7) << QVariant(QStringLiteral("currentYear"))
            << QStringLiteral("CASH") << QStringLiteral("currentYear");
        QTest::newRow("negative index falls back to text")
            << QVariant(QStringLiteral("FUTURE")) << QVariant(-1) << QVariant(QStringLiteral("pastYears"))
            << QStringLiteral("FUTURE") << QStringLiteral("pastYears");
        QTest::newRow("index and text both unusable")
            << QVariant() << QVariant(3) << QVariant(QStringLiteral("lastYear"))
            << QStringLiteral("CASH") << QStringLiteral("recent");
    }
    void storedChoicesAreRestored()
    {
        QFETCH(QVariant, lastFeed);
        QFETCH(QVariant, lastIndex);
        QFETCH(QVariant, lastText);
        QFETCH(QString, feed);
        QFETCH(QString, period);
        {
            QSettings store;
            if (lastFeed.isValid())
                store.setValue(key(Keys::LastFeed), lastFeed);
            if (lastIndex.isValid())
                store.setValue(key(Keys::LastEodDataSelectorIndex), lastIndex);
            if (lastText.isValid())
                store.setValue(key(Keys::LastEodDataSelectorText), lastText);
        }
        eoddata dlg;
        QCOMPARE(feedBox(&dlg)->currentText(), feed);
        QCOMPARE(periodBox(&dlg)->currentText(), period);
        // Opening the dialog does not rewrite what was stored.
        QSettings store;
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorIndex)), lastIndex);
    }

    void choicesAreStoredAtOnce()
    {
        eoddata dlg;
        dlg.show();
        QTest::mouseClick(watchListBox(&dlg), Qt::LeftButton);
        QVERIFY(!watchListBox(&dlg)->isChecked());
        QVERIFY(!dlg.selectedOnly);
        QCOMPARE(QSettings().value(key(Keys::SelectedSymbolsBackfill)), QVariant(false));

        QTest::mouseClick(watchListBox(&dlg), Qt::LeftButton);
        QVERIFY(dlg.selectedOnly);
        QCOMPARE(QSettings().value(key(Keys::SelectedSymbolsBackfill)), QVariant(true));

        periodBox(&dlg)->setCurrentIndex(2);
        QSettings store;
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorIndex)).toInt(), 2);
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorText)).toString(), QStringLiteral("pastYears"));
    }

    void untickedBoxIsRestored()
    {
        QSettings().setValue(key(Keys::SelectedSymbolsBackfill), false);
        eoddata dlg;
        QVERIFY(!dlg.selectedOnly);
        QVERIFY(!watchListBox(&dlg)->isChecked());
    }

    void closingStoresAndDeletes()
    {
        QPointer<eoddata> dlg = new eoddata;
        dlg->show();
        feedBox(dlg)->setCurrentIndex(3);
        QSignalSpy spy(dlg.data(), &eoddata::doBackfill);
        QVERIFY(dlg->close());
        QCOMPARE(spy.count(), 0);

        QSettings store;
        QCOMPARE(store.value(key(Keys::LastFeed)).toString(), QStringLiteral("SPOT"));
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorIndex)).toInt(), 0);
        QCOMPARE(store.value(key(Keys::LastEodDataSelectorText)).toString(), QStringLiteral("recent"));
        QCOMPARE(store.value(key(Keys::SelectedSymbolsBackfill)), QVariant(true));
        QTRY_VERIFY_WITH_TIMEOUT(dlg.isNull(), 1000);
    }

    void escapeEndsTheDialogLikeClosing()
    {
        QPointer<eoddata> dlg = new eoddata;
        dlg->show();
        feedBox(dlg)->setCurrentIndex(1);
        QTest::keyClick(dlg.data(), Qt::Key_Escape);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(QSettings().value(key(Keys::LastFeed)).toString(), QStringLiteral("FUTURE"));
        QTRY_VERIFY_WITH_TIMEOUT(dlg.isNull(), 1000);
    }

    void fontAndFrame()
    {
        eoddata dlg;
        for (QWidget *w : dlg.findChildren<QWidget *>()) {
            QCOMPARE(w->font().family(), QStringLiteral("Verdana"));
            QCOMPARE(w->font().pixelSize(), 14);
        }
        QVERIFY(!(dlg.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    }
};

QM_TEST_MAIN(tst_eoddata)
#include "tst_eoddata.moc"
