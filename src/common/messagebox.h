#pragma once

#include <QString>

class QMessageBox;
class QWidget;

// The one styled modal message box of the program. icon: 1 information,
// 2 warning, 3 critical; buttons: QMessageBox::StandardButtons (callers pass Ok).
// Returns the button that closed the box.
int showMessageBox(QWidget *parent, int icon, const QString &title, const QString &text, int buttons);

// Everything showMessageBox does short of running the box (its debug line, icon,
// title, text, buttons and look), for a box the caller shows itself.
void prepareMessageBox(QMessageBox &box, int icon, const QString &title, const QString &text, int buttons);

// The look every box of the program shares: its own font 3 points larger and the
// common style sheet.
void styleMessageBox(QMessageBox &box);
