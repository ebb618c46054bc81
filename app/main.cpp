#include "DataLocation.h"
#include "LinkTrace.h"
#include "MainWindow.h"

#ifdef Q_OS_UNIX
#include "RunCommand.h"
#include "RunsCommand.h"
#endif
#include "ServerAddress.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>

namespace {

// A start-up option that cannot be honoured ends the program with this code.
const int cannotStart = 2;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(RFBENCH_VERSION));
#ifdef Q_OS_UNIX
    // "rfbench run": no window, so no QApplication and no display.
    if (argc > 1 && qstrcmp(argv[1], "run") == 0)
        return RunCommand::main(
            argc, argv,
            [](const QString &dataDir, QString *error) {
                const DataLocation location = DataLocation::forThisProcess(dataDir);
                *error = location.problem;
                return location.problem.isEmpty() ? location.workbookFolder : QString();
            },
            [](const QString &dataDir) {
                const QSettings settings(DataLocation::forThisProcess(dataDir).settingsFile, QSettings::IniFormat);
                return settings.value(QStringLiteral("Store/station")).toString().trimmed();
            });
    // "rfbench runs": reads the results store, so a folder it cannot write serves.
    if (argc > 1 && qstrcmp(argv[1], "runs") == 0)
        return RunsCommand::main(argc, argv, [](const QString &dataDir, QString *) {
            return DataLocation::forThisProcess(dataDir).workbookFolder;
        });
#endif
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
    const QCommandLineOption store(QStringLiteral("store"),
                                   QStringLiteral("Keep the results store in <file> (SQLite), or send it to a "
                                                  "results server: postgresql://user@host:port/database."),
                                   QStringLiteral("file"));
    parser.addOption(store);
    parser.process(application);
    const DataLocation location = DataLocation::forThisProcess(parser.value(dataDir));
    // The operator named the folder: workbooks go there or the program does not start.
    if (!parser.value(dataDir).isEmpty() && !location.problem.isEmpty()) {
        qCritical("rfbench: --data-dir: %s", qPrintable(location.problem));
        return cannotStart;
    }
    DataLocation located = location;
    if (parser.isSet(store))
        located.storeFile = ServerAddress::isServerAddress(parser.value(store))
                                ? parser.value(store)
                                : QFileInfo(parser.value(store)).absoluteFilePath();
    DataLocation::setCurrent(located);
    if (parser.isSet(trace) && !LinkTrace::start(parser.value(trace))) {
        qCritical("rfbench: the trace file %s cannot be written", qPrintable(parser.value(trace)));
        return cannotStart;
    }

    MainWindow window;
    window.show();
    return application.exec();
}
