#include "DataLocation.h"
#include "LinkTrace.h"
#include "MainWindow.h"

#ifdef Q_OS_UNIX
#include "ReportCommand.h"
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
                     "       rfbench runs [show|export|setup] ...  the runs of the results store\n"
                     "       rfbench report ID --pdf FILE          a run's test report (PDF or HTML)";

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

// Whether the window's application can reach a display: without one Qt ends the program with
// an abort, so a command line that cannot open the window is answered before it is made.
bool displayAvailable(const QStringList &arguments)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    return arguments.contains(QStringLiteral("-platform")) || arguments.contains(QStringLiteral("--platform"));
}

// --help, --help-all and --version, answered before the window's application is made, which
// needs a display, as is a command line that cannot open the window; -1 when the window opens.
int answeredWithoutDisplay(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describeWindow(parser);
    const bool parsed = parser.parse(arguments);
    const bool display = displayAvailable(arguments);
    // A command line this cannot read may hold the options of Qt's own that the window's
    // application takes: with a display, that one tells what is wrong with it.
    if (parsed && !(parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))
                    || parser.isSet(QStringLiteral("version")))) {
        if (display)
            return -1;
        std::fputs("rfbench: the window needs a display (DISPLAY is not set); "
                   "rfbench run measures without one\n", stderr);
        return cannotStart;
    }
    if (!parsed) {
        if (display)
            return -1;
        std::fprintf(stderr, "rfbench: %s\n", qPrintable(parser.errorText()));
        return cannotStart;
    }
    const QCoreApplication application(argc, argv);
    QString text;
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // Qt's usage line names the window alone, by the path it was started with.
        text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char('\n')), QLatin1String(usage));
        text.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\nOptions of the window:\n"));
    } else {
        text = QStringLiteral("rfbench %1\n").arg(QCoreApplication::applicationVersion());
    }
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
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
    // "rfbench report": drawn without a display, from a store that is only read.
    if (argc > 1 && qstrcmp(argv[1], "report") == 0)
        return ReportCommand::main(argc, argv, [](const QString &dataDir, QString *) {
            return DataLocation::locate(dataDir).workbookFolder;
        });
#endif
    const int answered = answeredWithoutDisplay(argc, argv);
    if (answered >= 0)
        return answered;
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
