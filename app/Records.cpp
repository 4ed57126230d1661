// Opening recorded folders and importing SD-card records.

#include "MainWindow.h"

void MainWindow::onOpenButtonClicked() {}
void MainWindow::onImportButtonClicked() {}
