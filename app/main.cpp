#include "DataLocation.h"
#include "MainWindow.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rfbench"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Bench control for an RF lab bench."));
    parser.addHelpOption();
    const QCommandLineOption dataDir(QStringLiteral("data-dir"),
                                     QStringLiteral("Keep workbooks and settings.ini in <folder>."),
                                     QStringLiteral("folder"));
    parser.addOption(dataDir);
    parser.process(application);
    DataLocation::setCurrent(DataLocation::forThisProcess(parser.value(dataDir)));

    MainWindow window;
    window.show();
    return application.exec();
}
