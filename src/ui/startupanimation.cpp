#include "startupanimation.h"

#include "ui/appresources.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLoggingCategory>
#include <QPixmap>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSequentialAnimationGroup>

Q_LOGGING_CATEGORY(lcSplash, "quillmark.ui.splash", QtInfoMsg)

startupAnimation::startupAnimation(QWidget *parent)
    : QDialog(parent)
{
    setWindowOpacity(0.0);
}

startupAnimation::~startupAnimation()
{
    // The label is a parentless top-level window, so nothing else would free it.
    delete m_splash;
}

QRect startupAnimation::startRect(const QSize &picture)
{
    return QRect(100, 100, picture.width() / 5, picture.height() / 5);
}

QRect startupAnimation::endRect(const QSize &picture, const QRect &screen)
{
    return QRect((screen.width() - picture.width()) / 2, (screen.height() - picture.height()) / 2,
                 picture.width(), picture.height());
}

void startupAnimation::showAnimation()
{
    ensureAppResources();

    delete m_splash;
    m_splash = new QLabel;
    auto *bar = new QProgressBar(m_splash);
    bar->setTextVisible(false);

    const QPixmap picture(QStringLiteral(":/startup.jpg"));
    if (picture.isNull())
        qCWarning(lcSplash) << "splash picture missing from the resources";
    m_splash->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowTitleHint);
    m_splash->setPixmap(picture);
    m_splash->setScaledContents(true);

    const QSize size = picture.size();
    bar->setGeometry(0, 0, size.width(), BarHeight);

    QRect screen;
    if (QScreen *primary = QGuiApplication::primaryScreen())
        screen = primary->geometry();

    auto *group = new QSequentialAnimationGroup(this);

    auto *grow = new QPropertyAnimation(m_splash, "geometry", group);
    grow->setStartValue(startRect(size));
    grow->setEndValue(endRect(size, screen));
    grow->setDuration(GrowMs);
    group->addAnimation(grow);

    auto *fill = new QPropertyAnimation(bar, "value", group);
    fill->setStartValue(0);
    fill->setEndValue(100);
    fill->setDuration(FillMs);
    group->addAnimation(fill);

    m_splash->show();
    connect(group, &QAbstractAnimation::finished, this, &QDialog::close);
    group->start(QAbstractAnimation::DeleteWhenStopped);
    exec();
}

void startupAnimation::hideSplash()
{
    if (m_splash)
        m_splash->hide();
}
