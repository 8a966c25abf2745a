#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>

class QLabel;

// The start-up splash: the picture grows into the middle of the screen, then a
// thin bar across its top fills once. The dialog itself stays invisible; it only
// lends its modal loop so the start-up sequence waits for the animation.
class startupAnimation : public QDialog
{
    Q_OBJECT
public:
    explicit startupAnimation(QWidget *parent = nullptr);
    ~startupAnimation() override;

    static constexpr int GrowMs = 300;
    static constexpr int FillMs = 1000;
    static constexpr int BarHeight = 20;

    // Where the picture starts growing from, and where it ends, for a picture of
    // the given size on a screen of the given geometry.
    static QRect startRect(const QSize &picture);
    static QRect endRect(const QSize &picture, const QRect &screen);

    // The splash label once showAnimation has built it (null before).
    QLabel *splashLabel() const { return m_splash; }

public slots:
    // Runs the animation; returns when both steps have finished.
    void showAnimation();
    // Hides the picture; it stays alive until this object goes.
    void hideSplash();

private:
    QLabel *m_splash = nullptr;
};
