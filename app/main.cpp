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

#include <cstdio>

namespace {

// A start-up option that cannot be honoured ends the program with this code, as it ends
// "rfbench run" that could not be started.
const int cannotStart = 1;

const char usage[] = "Usage: rfbench [options]                     the window\n"
                     "       rfbench run [options] SETUP.json      a setup's measurements, without the window\n"
                     "                                             or a display\n"
                     "       rfbench runs [show|export|setup] ...  the runs of the results store";

// The window's command line.
void describeWindow(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Bench control for an RF lab bench.\n"
                                                    "rfbench run --help and rfbench runs --help tell more of "
                                                    "each command."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("data-dir"), QStringLiteral("Keep workbooks and settings.ini in <folder>."),
                      QStringLiteral("folder")});
    parser.addOption({QStringLiteral("trace"),
                      QStringLiteral("Write every line to and from the instruments to <file>."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("store"),
                      QStringLiteral("Keep the results store in <file> (SQLite), or send it to a "
                                     "results server: postgresql://user@host:port/database."),
                      QStringLiteral("file")});
}

// --help and --version, answered before the window's application is made, which needs a
// display; false when the command line asks for neither.
bool answeredWithoutDisplay(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describeWindow(parser);
    // A command line this cannot read may hold the options of Qt's own that the window's
    // application takes: that one tells what is wrong with it.
    if (!parser.parse(arguments) || !(parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))))
        return false;
    const QCoreApplication application(argc, argv);
    QString text;
    if (parser.isSet(QStringLiteral("help"))) {
        // Qt's usage line names the window alone, by the path it was started with.
        text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char('\n')), QLatin1String(usage));
        text.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\nOptions of the window:\n"));
    } else {
        text = QStringLiteral("rfbench %1\n").arg(QCoreApplication::applicationVersion());
    }
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("rfbench"));
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
                const QSettings settings(DataLocation::locate(dataDir).settingsFile, QSettings::IniFormat);
                return settings.value(QStringLiteral("Store/station")).toString().trimmed();
            });
    // "rfbench runs": reads the results store, so a folder it cannot write serves, and one that
    // is not there is not made.
    if (argc > 1 && qstrcmp(argv[1], "runs") == 0)
        return RunsCommand::main(argc, argv, [](const QString &dataDir, QString *) {
            return DataLocation::locate(dataDir).workbookFolder;
        });
#endif
    if (answeredWithoutDisplay(argc, argv))
        return 0;
    QApplication application(argc, argv);
    QCommandLineParser parser;
    describeWindow(parser);
    const QString dataDir = QStringLiteral("data-dir");
    const QString trace = QStringLiteral("trace");
    const QString store = QStringLiteral("store");
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
