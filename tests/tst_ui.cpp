#include <QtTest>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>

#include "common/settingskeys.h"
#include "ui/settings.h"
#include "ui/startupanimation.h"
#include "testenv.h"

namespace {

QString key(const char *k)
{
    return QLatin1String(k);
}

template<typename T>
T *child(QWidget *parent, const char *name)
{
    T *w = parent->findChild<T *>(QLatin1String(name));
    if (!w)
        qWarning("missing child %s", name);
    return w;
}

} // namespace

// Stands in for the main window: counts the queued calls the dialog makes on it.
class tst_ui : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TestEnv::instance()->reset();
    }

    void emptyStoreGivesDefaults()
    {
        settings dlg;
        QVERIFY(child<QRadioButton>(&dlg, "fastBackfill")->isChecked());
        QVERIFY(!child<QRadioButton>(&dlg, "slowBackfill")->isChecked());
        QVERIFY(child<QCheckBox>(&dlg, "autoEodBackfill")->isChecked());
        QVERIFY(child<QCheckBox>(&dlg, "gapFillEnabled")->isChecked());
        QCOMPARE(child<QCheckBox>(&dlg, "gapFillEnabled")->text(), QStringLiteral("Fill gaps after a lost connection"));
        QVERIFY(!child<QCheckBox>(&dlg, "saveLayout")->isChecked());
        QVERIFY(!child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
        QVERIFY(child<QRadioButton>(&dlg, "mode2")->isChecked());
        QVERIFY(!child<QRadioButton>(&dlg, "mode1")->isChecked());
        QVERIFY(!dlg.controlAmibrokerFlag);
        QVERIFY(!dlg.slowBackfillFlag);
        QVERIFY(dlg.autoEodBackfillFlag);
    }

    void radioPairsAreSeparate()
    {
        settings dlg;
        // Each pair of radio buttons is exclusive within itself only: picking a
        // backfill speed must not clear the server choice.
        auto *mode = child<QRadioButton>(&dlg, "mode1");
        mode->setChecked(true);
        child<QRadioButton>(&dlg, "fastBackfill")->setChecked(true);
        QVERIFY(mode->isChecked());
    }

    void storedValuesAreLoaded()
    {
        {
            QSettings store;
            store.setValue(key(Keys::SaveLayout), true);
            store.setValue(key(Keys::ControlAmibroker), true);
            store.setValue(key(Keys::SlowBackfill), true);
            store.setValue(key(Keys::AutoEodBackfill), false);
            store.setValue(key(Keys::GapFillEnabled), false);
        }
        settings dlg;
        QVERIFY(!child<QCheckBox>(&dlg, "gapFillEnabled")->isChecked());
        QVERIFY(!dlg.gapFillEnabledFlag);
        QVERIFY(child<QCheckBox>(&dlg, "saveLayout")->isChecked());
        QVERIFY(child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
        QVERIFY(child<QRadioButton>(&dlg, "slowBackfill")->isChecked());
        QVERIFY(!child<QCheckBox>(&dlg, "autoEodBackfill")->isChecked());
        QVERIFY(dlg.controlAmibrokerFlag);
        QVERIFY(dlg.slowBackfillFlag);
        QVERIFY(!dlg.autoEodBackfillFlag);
    }

    void okStoresChoices()
    {
        settings dlg;
        dlg.show();
        child<QRadioButton>(&dlg, "mode1")->setChecked(true);
        child<QRadioButton>(&dlg, "slowBackfill")->setChecked(true);
        child<QCheckBox>(&dlg, "saveLayout")->setChecked(true);
        child<QCheckBox>(&dlg, "autoEodBackfill")->setChecked(false);
        child<QCheckBox>(&dlg, "gapFillEnabled")->setChecked(false);
        child<QDialogButtonBox>(&dlg, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(QSettings().value(key(Keys::GapFillEnabled)).toBool(), false);

        QVERIFY(!dlg.isVisible());
        QSettings store;
        QCOMPARE(store.value(key(Keys::SlowBackfill)).toBool(), true);
        QCOMPARE(store.value(key(Keys::SaveLayout)).toBool(), true);
        QCOMPARE(store.value(key(Keys::AutoEodBackfill)).toBool(), false);
        QCOMPARE(store.value(key(Keys::ControlAmibroker)).toBool(), false);
        QVERIFY(dlg.slowBackfillFlag);
        QVERIFY(!dlg.autoEodBackfillFlag);
    }

    void cancelStoresNothing()
    {
        {
            QSettings store;
            store.setValue(key(Keys::SaveLayout), true);
        }
        settings dlg;
        dlg.show();
        child<QCheckBox>(&dlg, "saveLayout")->setChecked(false);
        child<QCheckBox>(&dlg, "controlAmibroker")->setChecked(true);
        child<QRadioButton>(&dlg, "slowBackfill")->setChecked(true);
        child<QDialogButtonBox>(&dlg, "buttonBox")->button(QDialogButtonBox::Cancel)->click();

        QVERIFY(!dlg.isVisible());
        QSettings store;
        QCOMPARE(store.allKeys(), QStringList{key(Keys::SaveLayout)});
        QCOMPARE(store.value(key(Keys::SaveLayout)).toBool(), true);
        QVERIFY(!dlg.controlAmibrokerFlag);
        QVERIFY(!dlg.slowBackfillFlag);
        // The next opening shows the stored values again, not the abandoned edits.
        dlg.loadSettings();
        QVERIFY(child<QCheckBox>(&dlg, "saveLayout")->isChecked());
        QVERIFY(!child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
        QVERIFY(child<QRadioButton>(&dlg, "fastBackfill")->isChecked());
    }

    void controlAmibrokerIsToldOnOk_data()
    {
        QTest::addColumn<bool>("checked");
        QTest::newRow("checked") << true;
        QTest::newRow("unchecked") << false;
    }
    void controlAmibrokerIsToldOnOk()
    {
        QFETCH(bool, checked);
        settings dlg;
        // Whoever hears it reads the key: it is stored by the time it is said.
        bool storedWhenTold = false;
        connect(&dlg, &settings::controlAmibrokerEnabled, &dlg,
                [&] { storedWhenTold = QSettings().value(key(Keys::ControlAmibroker)).toBool(); });
        QSignalSpy told(&dlg, &settings::controlAmibrokerEnabled);
        dlg.show();
        child<QCheckBox>(&dlg, "controlAmibroker")->setChecked(checked);
        child<QDialogButtonBox>(&dlg, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(told.count(), checked ? 1 : 0);
        QCOMPARE(storedWhenTold, checked);
        QCOMPARE(dlg.controlAmibrokerFlag, checked);
    }

    void controlAmibrokerWithoutParentIsHarmless()
    {
        settings dlg;
        child<QCheckBox>(&dlg, "controlAmibroker")->setChecked(true);
        child<QDialogButtonBox>(&dlg, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCoreApplication::processEvents();
        QVERIFY(dlg.controlAmibrokerFlag);
    }

    void splashGeometry_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QRect>("start");
        QTest::addColumn<QRect>("end");
        QTest::newRow("600x400 on full HD") << QSize(600, 400) << QRect(0, 0, 1920, 1080)
                                            << QRect(100, 100, 120, 80) << QRect(660, 340, 600, 400);
        QTest::newRow("odd sizes truncate") << QSize(603, 401) << QRect(0, 0, 1366, 768)
                                            << QRect(100, 100, 120, 80) << QRect(381, 183, 603, 401);
        QTest::newRow("picture larger than screen") << QSize(1000, 700) << QRect(0, 0, 800, 600)
                                                    << QRect(100, 100, 200, 140) << QRect(-100, -50, 1000, 700);
    }
    void splashGeometry()
    {
        QFETCH(QSize, picture);
        QFETCH(QRect, screen);
        QFETCH(QRect, start);
        QFETCH(QRect, end);
        QCOMPARE(startupAnimation::startRect(picture), start);
        QCOMPARE(startupAnimation::endRect(picture, screen), end);
    }

    void showAnimationRunsBothStepsThenReturns()
    {
        startupAnimation splash;
        QCOMPARE(splash.windowOpacity(), 0.0);

        QElapsedTimer clock;
        clock.start();
        splash.showAnimation();
        const qint64 elapsed = clock.elapsed();

        // Both steps (300 ms, then 1000 ms) must be over; allow some timer slack.
        QVERIFY2(elapsed >= startupAnimation::GrowMs + startupAnimation::FillMs - 50, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));

        QLabel *label = splash.splashLabel();
        QVERIFY(label);
        QVERIFY(label->isVisible());
        QVERIFY(!label->pixmap(Qt::ReturnByValue).isNull());
        const QSize picture = label->pixmap(Qt::ReturnByValue).size();
        QCOMPARE(picture, QSize(600, 400));
        QCOMPARE(label->geometry(),
                 startupAnimation::endRect(picture, QGuiApplication::primaryScreen()->geometry()));
        QCOMPARE(int(label->windowFlags()), 6147);

        auto *bar = label->findChild<QProgressBar *>();
        QVERIFY(bar);
        QCOMPARE(bar->value(), 100);
        QVERIFY(!bar->isTextVisible());
        QCOMPARE(bar->geometry(), QRect(0, 0, 600, startupAnimation::BarHeight));

        splash.hideSplash();
        QVERIFY(!label->isVisible());
        QVERIFY(!splash.isVisible());
    }
};

QM_TEST_MAIN(tst_ui)
#include "tst_ui.moc"
