#include "MainWindow.h"

#include "MeasurementTypes.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    MeasurementTypes::registerAll();
    setWindowTitle(QStringLiteral("RF bench"));
    setFixedSize(825, 402);
}
