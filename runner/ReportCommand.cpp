#include "ReportCommand.h"

#include "RunHistory.h"
#include "RunsCommand.h"
#include "TestReport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#include <csignal>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace ReportCommand {

// Its exit codes are those of "rfbench runs".
using RunsCommand::CannotRead;
using RunsCommand::Done;
using RunsCommand::WrongCommand;

namespace {

const char usage[] = "Writes the test report of runs of the results store: a PDF on A4 or one HTML file.\n\n"
                     "  rfbench report ID [ID ...] [--pdf FILE] [--html FILE]\n\n"
                     "Several runs (the measurements of one setup) make one report. The store is\n"
                     "<data folder>/rfbench.sqlite unless --store names another, or a results server\n"
                     "(postgresql://user@host:port/database), numbered as rfbench runs lists them.\n"
                     "Only an earlier report is written over.\n\n"
                     "Exit codes:\n"
                     "  0  written\n"
                     "  1  the results store or a report file cannot be read or written\n"
                     "  2  the command line is wrong, the store has no run of that number, or a file\n"
                     "     to write is there and is not a report\n";

} // namespace

int main(int argc, char *argv[], const RunCommand::FolderChooser &chooseFolder)
{
    // A run's stop signals, blocked in it for its own handling, are inherited blocked: a report
    // a run writes stops when it is told to, and ends with the run that waits for it.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    const QByteArray parent = qgetenv("RFBENCH_REPORT_PARENT");
    if (!parent.isEmpty()) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (QByteArray::number(qint64(::getppid())) != parent)
            return CannotRead;
    }
    // A report is drawn, never shown: it needs no display, and one that is there is left alone.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Without a session (a service, a cron job) Qt would warn that it has no runtime folder,
    // which a report never uses; the command's own messages stay alone on standard error.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (type != QtDebugMsg && !text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
                std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        });
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rfbench"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(usage));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version of rfbench."));
    const QCommandLineOption pdf(QStringLiteral("pdf"), QStringLiteral("Write the report as PDF to <file>."),
                                 QStringLiteral("file"));
    const QCommandLineOption html(QStringLiteral("html"), QStringLiteral("Write the report as HTML to <file>."),
                                  QStringLiteral("file"));
    const RunsCommand::StoreOptions where;
    parser.addOptions({help, version, pdf, html, where.dataDir, where.store});
    parser.addPositionalArgument(QStringLiteral("report"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("ID"), QStringLiteral("A run's number."), QStringLiteral("ID [ID ...]"));

    const auto wrong = [](const QString &why) {
        std::fprintf(stderr, "rfbench report: %s (rfbench report --help tells more)\n", qPrintable(why));
        return int(WrongCommand);
    };
    if (!parser.parse(application.arguments()))
        return wrong(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("[options] report"),
                                                        QStringLiteral("report [options]"))),
                   stdout);
        return Done;
    }
    if (parser.isSet(version)) {
        std::printf("rfbench %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return Done;
    }
    QList<qint64> runs;
    for (const QString &text : parser.positionalArguments().mid(1)) {
        bool isNumber = false;
        const qint64 id = text.toLongLong(&isNumber);
        if (!isNumber || id < 1)
            return wrong(QStringLiteral("\"%1\" is not a run number").arg(text));
        if (runs.contains(id))
            return wrong(QStringLiteral("run %1 is named twice").arg(id));
        runs << id;
    }
    if (runs.isEmpty())
        return wrong(QStringLiteral("give a run number: rfbench report ID --pdf FILE"));
    if (!parser.isSet(pdf) && !parser.isSet(html))
        return wrong(QStringLiteral("give --pdf FILE or --html FILE, or both"));
    QList<QPair<QString, TestReport::Format>> targets;
    if (parser.isSet(pdf))
        targets.append(qMakePair(parser.value(pdf), TestReport::Format::Pdf));
    if (parser.isSet(html))
        targets.append(qMakePair(parser.value(html), TestReport::Format::Html));
    // The same file, however its folder is named (a link to a folder included).
    const auto place = [](const QString &path) {
        const QFileInfo info(path);
        const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        return (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
    };
    if (targets.size() == 2 && place(targets.at(0).first) == place(targets.at(1).first))
        return wrong(QStringLiteral("--pdf and --html name the same file"));
    for (const auto &target : targets) {
        TestReport::Format named;
        if (TestReport::formatOf(target.first, &named) && named != target.second)
            return wrong(QStringLiteral("%1 is not a name for %2 report")
                             .arg(target.first, target.second == TestReport::Format::Pdf ? QStringLiteral("a PDF")
                                                                                          : QStringLiteral("an HTML")));
    }
    // Checked before the store is read, and again as each is written.
    for (const auto &target : targets) {
        const QString refused = TestReport::refusal(target.first);
        if (!refused.isEmpty()) {
            std::fprintf(stderr, "rfbench report: %s\n", qPrintable(refused));
            return WrongCommand;
        }
    }

    QString storeWrong;
    const QString path = RunsCommand::storeAddress(parser, where, chooseFolder, &storeWrong);
    if (path.isEmpty())
        return wrong(storeWrong);
    const std::unique_ptr<RunHistory> store = RunHistory::open(path);
    if (!store->problem().isEmpty()) {
        std::fprintf(stderr, "rfbench report: %s\n", qPrintable(store->problem()));
        return CannotRead;
    }
    ReportContent::Report report;
    QString why;
    bool unknownRun = false;
    if (!TestReport::read(*store, runs, &report, &why, &unknownRun)) {
        std::fprintf(stderr, "rfbench report: %s\n", qPrintable(why));
        return unknownRun ? WrongCommand : CannotRead;
    }
    const QString madeBy = QStringLiteral("rfbench ") + QCoreApplication::applicationVersion();
    for (const auto &target : targets) {
        const QString trouble = TestReport::write(report, target.first, target.second, madeBy);
        if (!trouble.isEmpty()) {
            std::fprintf(stderr, "rfbench report: %s\n", qPrintable(trouble));
            return TestReport::refusal(target.first).isEmpty() ? CannotRead : WrongCommand;
        }
        // A run that asked for the report says itself under which name it stays.
        if (parent.isEmpty())
            std::fprintf(stderr, "rfbench report: %s written\n", qPrintable(QDir::toNativeSeparators(target.first)));
    }
    return Done;
}

} // namespace ReportCommand
