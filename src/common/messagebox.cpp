#include "common/messagebox.h"

#include <QDebug>
#include <QFontInfo>
#include <QMessageBox>

void styleMessageBox(QMessageBox &box)
{
    QFont font = box.font();
    // A font set in pixels has no point size of its own; take the size it shows at.
    const qreal points = font.pointSizeF() > 0 ? font.pointSizeF() : QFontInfo(font).pointSizeF();
    font.setPointSizeF(points + 3);
    box.setFont(font);
    box.setStyleSheet(QStringLiteral("QLabel { font-size: 13pt; color: #102030; } "
                                     "QPushButton { font-size: 11pt; min-width: 80px; }"));
}

void prepareMessageBox(QMessageBox &box, int icon, const QString &title, const QString &text, int buttons)
{
    qDebug().noquote() << "[showMessageBox] title:" << ('"' + title + '"') << "text:" << ('"' + text + '"');

    box.setIcon(static_cast<QMessageBox::Icon>(icon));
    box.setWindowTitle(title);
    box.setText(text);
    styleMessageBox(box);
    box.setStandardButtons(static_cast<QMessageBox::StandardButtons>(buttons));
}

int showMessageBox(QWidget *parent, int icon, const QString &title, const QString &text, int buttons)
{
    QMessageBox box(parent);
    prepareMessageBox(box, icon, title, text, buttons);
    return box.exec();
}
