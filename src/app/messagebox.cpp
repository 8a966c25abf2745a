#include "messagebox.h"

#include <QDebug>
#include <QMessageBox>

int showMessageBox(QWidget *parent, int icon, const QString &title, const QString &text, int buttons)
{
    qDebug().noquote() << "[showMessageBox] title:" << ('"' + title + '"') << "text:" << ('"' + text + '"');

    QMessageBox box(parent);
    box.setIcon(static_cast<QMessageBox::Icon>(icon));
    box.setWindowTitle(title);
    box.setText(text);
    QFont font = box.font();
    font.setPointSize(font.pointSize() + 3);
    box.setFont(font);
    box.setStyleSheet(QStringLiteral("QLabel { font-size: 13pt; color: #102030; } "
                                     "QPushButton { font-size: 11pt; min-width: 80px; }"));
    box.setStandardButtons(static_cast<QMessageBox::StandardButtons>(buttons));
    return box.exec();
}
