#include "DataLocation.h"
#include "LinkTrace.h"
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
    const QCommandLineOption trace(QStringLiteral("trace"),
                                   QStringLiteral("Write every line to and from the instruments to <file>."),
                                   QStringLiteral("file"));
    parser.addOption(trace);
    parser.process(application);
    DataLocation::setCurrent(DataLocation::forThisProcess(parser.value(dataDir)));
    if (parser.isSet(trace) && !LinkTrace::start(parser.value(trace))) {
        qCritical("rfbench: the trace file %s cannot be written", qPrintable(parser.value(trace)));
        return 2;
    }

    MainWindow window;
    window.show();
    return application.exec();
}
