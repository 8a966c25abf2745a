#pragma once

class QWidget;

// Gives a window and every child widget it has at this moment the font
// "Verdana" at the given pixel size (the program's windows all do this once).
void setVerdanaOnTree(QWidget *window, int pixelSize);
