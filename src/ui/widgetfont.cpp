#include "widgetfont.h"

#include <QFont>
#include <QWidget>

void setVerdanaOnTree(QWidget *window, int pixelSize)
{
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(pixelSize);
    window->setFont(font);
    const QList<QWidget *> children = window->findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setFont(font);
}
