#include "RunCommand.h"

#include "ConsoleOutput.h"
#include "HeadlessRun.h"
#include "JunitReport.h"
#include "LinkTrace.h"
#include "ReportName.h"
#include "RunRecorder.h"
#include "RunResume.h"
#include "ServerHistory.h"
#include "SetupRecords.h"
#include "ServerUpload.h"
#include "SetupFile.h"
#include "SqliteStore.h"
#include "StopSignals.h"
#include "TestReport.h"

#include <QCommandLineParser>
#include <QDate>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace RunCommand {

namespace {

// How long the end of a run waits for the last upload to the results server.
const int lastUploadMs = 15000;
// How long the end of a run waits for its test report to be written.
const int reportWaitMs = 120000;

// Writes the test report of the runs with "rfbench report" in a process of its own, which draws
// it on a QApplication that a run does not make; its messages go to standard error. A stop ends
// it through *writing. Empty when written, else why.
QString writeTestReport(const QList<qint64> &runs, const QString &store, const QString &path, QProcess **writing)
{
    TestReport::Format format = TestReport::Format::Pdf;
    TestReport::formatOf(path, &format);
    QStringList arguments{QStringLiteral("report")};
    for (const qint64 run : runs)
        arguments << QString::number(run);
    arguments << QStringLiteral("--store") << store
              << (format == TestReport::Format::Pdf ? QStringLiteral("--pdf") : QStringLiteral("--html")) << path;
    QProcess child;
    // It ends with this process, also when a second stop ends this one at once.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RFBENCH_REPORT_PARENT"), QString::number(::getpid()));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Standard output may carry the run's JSON summary: nothing else goes there.
    child.setStandardOutputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&child, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer timeout;
    timeout.setSingleShot(true);
    bool late = false;
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] {
        late = true;
        child.kill();
    });
    *writing = &child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    timeout.start(reportWaitMs);
    if (child.state() != QProcess::NotRunning || child.error() != QProcess::FailedToStart)
        loop.exec();
    child.waitForFinished(5000);
    *writing = nullptr;
    if (child.error() == QProcess::FailedToStart)
        return child.errorString();
    if (late)
        return QStringLiteral("it took longer than %1 s").arg(reportWaitMs / 1000);
    if (child.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("it was stopped");
    if (child.exitCode() != 0)
        return QStringLiteral("rfbench report ended with %1").arg(child.exitCode());
    return QString();
}

const char ownPrefix[] = ".rfbench-report-";

// Gives the finished report at own the name candidate unless a file has it: 0, EEXIST, or why
// not as an errno. link() never replaces a file; where the file system has no hard links (FAT,
// exFAT), the name is made afresh, exclusively, and the report copied into it.
int giveName(const QString &own, const QString &candidate)
{
    const QByteArray from = QFile::encodeName(own);
    const QByteArray to = QFile::encodeName(candidate);
    if (::link(from.constData(), to.constData()) == 0)
        return 0;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOTSUP)
        return errno;
    const int fd = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    QFile source(own);
    QFile target;
    const QByteArray bytes = source.open(QIODevice::ReadOnly) ? source.readAll() : QByteArray();
    const bool copied = !bytes.isEmpty() && target.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)
                        && target.write(bytes) == bytes.size() && target.flush() && ::fsync(fd) == 0;
    if (!target.isOpen())
        ::close(fd);
    target.close();
    if (!copied) {
        ::unlink(to.constData()); // made here, just now, and not whole
        return EIO;
    }
    return 0;
}

// Writes the report a setup names into a file of its own beside that name, then gives it the
// first free one of "name.pdf", "name (2).pdf" and so on: a name another program or run takes
// at the same moment is passed over, and nothing but this run's own file is ever removed. The
// name given, or empty with why.
QString writeUnderFreeName(const QList<qint64> &runs, const QString &store, const QString &path, QProcess **writing,
                           QString *why)
{
    const QFileInfo named(path);
    const QDir folder(named.absolutePath());
    QDir().mkpath(folder.path());
    // Files of runs ended at once while their reports were drawn: their process is gone.
    for (const QString &left : folder.entryList({QLatin1String(ownPrefix) + QStringLiteral("*")}, QDir::Files | QDir::Hidden)) {
        const qint64 pid = left.mid(int(qstrlen(ownPrefix))).section(QLatin1Char('-'), 0, 0).toLongLong();
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(folder.filePath(left));
    }
    // Made as the report will stay, readable as the workbooks beside it are (a temporary
    // file's would be the owner's alone), and named by this process for the above.
    QString own;
    for (int attempt = 0; attempt < 100 && own.isEmpty(); ++attempt) {
        const QString candidate = folder.filePath(QStringLiteral("%1%2-%3.%4")
                                                      .arg(QLatin1String(ownPrefix))
                                                      .arg(::getpid())
                                                      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                                                      .arg(named.suffix()));
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            own = candidate;
        } else if (errno != EEXIST) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return QString();
        }
    }
    if (own.isEmpty()) {
        *why = QStringLiteral("no file of its own can be made in %1").arg(folder.path());
        return QString();
    }
    *why = writeTestReport(runs, store, own, writing);
    QString given;
    for (int n = 1; why->isEmpty() && given.isEmpty() && n < 1000; ++n) {
        const QString candidate = ReportName::numbered(path, n);
        const int taken = giveName(own, candidate);
        if (taken == 0)
            given = candidate;
        else if (taken != EEXIST)
            *why = QString::fromLocal8Bit(std::strerror(taken));
    }
    if (why->isEmpty() && given.isEmpty())
        *why = QStringLiteral("every name up to \"%1\" is taken").arg(ReportName::numbered(path, 999));
    QFile::remove(own);
    return given;
}

// The run of this store that the server numbers serverId, as "rfbench runs" over the server lists
// it: its local id, or 0 with *why.
qint64 localRunOf(const ServerAddress &address, qint64 serverId, SqliteStore &store, QString *why)
{
    ServerHistory server(address);
    const RunSummary run = server.problem().isEmpty() ? server.run(serverId) : RunSummary();
    if (!server.problem().isEmpty()) {
        *why = server.problem() + QStringLiteral(": the server's run numbers cannot be read (--store %1 resumes by "
                                                 "the local store's own numbers)")
                                      .arg(store.path());
        return 0;
    }
    if (run.id == 0) {
        *why = QStringLiteral("the results server %1 has no run %2").arg(address.shown()).arg(serverId);
        return 0;
    }
    // Its store's identity and the local run's start: the server's rows of stores made before
    // identities share the empty one.
    if (run.store != store.identity() || store.run(run.localId).started != run.started) {
        *why = QStringLiteral("run %1 on the results server is station \"%2\"'s run %3 from another results store: a "
                              "run is resumed at the bench that measured it, with its store")
                   .arg(serverId)
                   .arg(run.station)
                   .arg(run.localId);
        return 0;
    }
    return run.localId;
}

const char exitCodes[] = "Exit codes:\n"
                         "  0  every measurement finished and every row is in its workbook\n"
                         "  1  the run could not be started: no workbook can be written to its data folder, or\n"
                         "     the trace file or the JUnit report cannot be written; or, after a run that\n"
                         "     would have ended with 0, the JUnit report or the test report could not be\n"
                         "     written at its end\n"
                         "  2  the command line or the setup is wrong (nothing was sent)\n"
                         "  3  an instrument could not be reached (nothing was measured)\n"
                         "  4  stopped by Ctrl-C or SIGTERM; the rows measured so far are saved\n"
                         "  5  rows could not be saved to their workbooks (the messages say where they are)\n"
                         "  6  an instrument's connection was lost during the run; it went on without its\n"
                         "     readings (empty cells, or, without the synthesizer, readings not at the\n"
                         "     frequencies named) and the rows measured are saved\n"
                         "  7  the unit did not pass its setup's limits: a point failed a limit, or, where\n"
                         "     nothing above explains it, a point had no reading; every row is saved\n"
                         "When several apply, the first of 2, 5, 7 (a limit failed), 6, 4, 7 (no reading) is\n"
                         "given: a failed unit stays failed whether the run was stopped or lost a link.\n";

} // namespace

int main(int argc, char *argv[], const FolderChooser &chooseFolder, const StationChooser &namedStation)
{
    // Before any thread starts, so that none of them takes the signals.
    StopSignals stopSignals;
    ConsoleOutput::keepDebugLinesOut();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rfbench"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the measurements of a setup file without the window.\n\n") + QLatin1String(exitCodes));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    parser.addOption(help);
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version of rfbench."));
    parser.addOption(version);
    const QCommandLineOption set(QStringLiteral("set"),
                                 QStringLiteral("Overrides one field of the setup, e.g. power=-5 or "
                                                "measurements[1].delay=300; may be given many times."),
                                 QStringLiteral("key=value"));
    parser.addOption(set);
    const QCommandLineOption dataDir(QStringLiteral("data-dir"), QStringLiteral("Keep the workbooks in <folder>."),
                                     QStringLiteral("folder"));
    parser.addOption(dataDir);
    const QCommandLineOption trace(QStringLiteral("trace"),
                                   QStringLiteral("Write every line to and from the instruments to <file>."),
                                   QStringLiteral("file"));
    parser.addOption(trace);
    const QCommandLineOption store(QStringLiteral("store"),
                                   QStringLiteral("The results store (SQLite); else the setup's store.address, else "
                                                  "<data folder>/rfbench.sqlite. "
                                                  "postgresql://user@host:port/database: a shared results server, "
                                                  "with <data folder>/rfbench.sqlite as the local copy."),
                                   QStringLiteral("file"));
    parser.addOption(store);
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("This bench's name on the results server; else the setup's "
                                                    "store.station, else Store/station in the data folder's "
                                                    "settings.ini (as the window names it), else the host name."),
                                     QStringLiteral("name"));
    parser.addOption(station);
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("At the end, one JSON object on standard output instead of the summary."));
    parser.addOption(json);
    const QCommandLineOption resume(QStringLiteral("resume"),
                                    QStringLiteral("Go on with a stopped or interrupted run of the results store, from the "
                                                   "point after its last one, on the same workbooks: that run's own "
                                                   "measurement alone, not the rest of a sequence it came from."),
                                    QStringLiteral("id"));
    parser.addOption(resume);
    const QCommandLineOption unit(QStringLiteral("unit"),
                                  QStringLiteral("The serial number of the unit under test, checked against the setup's "
                                                 "unit.serialPattern and unit.required; recorded with the run."),
                                  QStringLiteral("serial"));
    parser.addOption(unit);
    const QCommandLineOption operatorName(QStringLiteral("operator"),
                                          QStringLiteral("Who measures, recorded with the run; else the setup's "
                                                         "unit.operator, else the user this program runs as."),
                                          QStringLiteral("name"));
    parser.addOption(operatorName);
    const QCommandLineOption junit(QStringLiteral("junit"),
                                   QStringLiteral("At the end, write the verdicts as JUnit XML to <file> for a CI system: "
                                                  "one test suite per measurement, one test case per pass. Only an "
                                                  "earlier JUnit report is written over."),
                                   QStringLiteral("file"));
    parser.addOption(junit);
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("At the end, write the test report of the runs made to <file>: a "
                                                   "PDF on A4 (.pdf) or one HTML file (.html, .htm); over the setup's "
                                                   "\"report\". Only an earlier report is written over."),
                                    QStringLiteral("file"));
    parser.addOption(report);
    parser.addPositionalArgument(QStringLiteral("run"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("setup"), QStringLiteral("The setup file (JSON)."));

    QStringList arguments = application.arguments();
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "rfbench run: %s\n", qPrintable(parser.errorText()));
        return HeadlessRun::BadSetup;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("rfbench [options] run setup"),
                                                        QStringLiteral("rfbench run [options] setup"))),
                   stdout);
        return HeadlessRun::Finished;
    }
    if (parser.isSet(version)) {
        std::printf("rfbench %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return HeadlessRun::Finished;
    }
    const QStringList positional = parser.positionalArguments();
    const bool resuming = parser.isSet(resume);
    if (positional.size() != (resuming ? 1 : 2)) {
        std::fprintf(stderr, "rfbench run: give one setup file, or --resume ID alone (rfbench run SETUP.json; "
                             "--help tells more)\n");
        return HeadlessRun::BadSetup;
    }
    TestReport::Format reportFormat;
    if (parser.isSet(report) && !TestReport::formatOf(parser.value(report), &reportFormat)) {
        std::fprintf(stderr, "rfbench run: --report %s: a test report's name ends in .pdf, .html or .htm\n",
                     qPrintable(parser.value(report)));
        return HeadlessRun::BadSetup;
    }
    QString folderError;
    const QString folder = chooseFolder(parser.value(dataDir), &folderError);
    // A folder that cannot be written, like a trace file, is no fault of the setup: the run
    // could not be started.
    if (folder.isEmpty()) {
        std::fprintf(stderr, "rfbench run: %s\n", qPrintable(folderError));
        return HeadlessRun::Failed;
    }
    // The results store: --store and --station first, then the setup file's "store" section, then
    // <data folder>/rfbench.sqlite and the host's name. A server gets what the local store holds:
    // the measurement writes the local store as always.
    bool toServer = false;
    ServerUpload::Options upload;
    QString storePath;
    StoreFile::NamedBy storeNamedBy = StoreFile::NamedBy::User;
    // A relative file is taken from the folder of what named it. False when a server address is wrong.
    const auto chooseStore = [&](const QString &address, const QString &relativeTo, const QString &named) {
        toServer = ServerAddress::isServerAddress(address);
        if (toServer) {
            QString why;
            upload.server = ServerAddress::parse(address, &why);
            if (!why.isEmpty()) {
                std::fprintf(stderr, "rfbench run: %s%s\n", qPrintable(named), qPrintable(why));
                return false;
            }
        }
        storePath = address.isEmpty() || toServer ? SqliteStore::defaultPath(folder)
                                                  : QDir::cleanPath(QDir(relativeTo).absoluteFilePath(address));
        upload.localPath = storePath;
        return true;
    };
    // Checked before the setup is read, so that a wrong --store is said whatever the setup holds.
    if (!chooseStore(parser.value(store), QDir::currentPath(), QStringLiteral("--store ")))
        return HeadlessRun::BadSetup;
    QString setupPath;
    QByteArray setupBytes;
    RunResume::Point from;
    QString resumedUnit;
    QList<RecordedTable> resumedTables;
    if (resuming) {
        if (parser.isSet(set) || parser.isSet(unit)) {
            std::fprintf(stderr, "rfbench run: --resume goes on with the run's own setup and unit; %s cannot change "
                                 "them\n",
                         parser.isSet(set) ? "--set" : "--unit");
            return HeadlessRun::BadSetup;
        }
        QString why;
        bool isNumber = false;
        const qint64 run = parser.value(resume).toLongLong(&isNumber);
        QStringList announcements;
        const std::unique_ptr<SqliteStore> results = SqliteStore::open(storePath, SqliteStore::Mode::Read, &announcements);
        if (!results->problem().isEmpty())
            why = QStringLiteral("the results store %1: %2").arg(storePath, results->problem());
        else if (!isNumber || run <= 0)
            why = QStringLiteral("not a run number");
        // One numbering per address: over a server, the server's, as "rfbench runs" lists them.
        qint64 local = run;
        if (why.isEmpty() && toServer)
            local = localRunOf(upload.server, run, *results, &why);
        if (!why.isEmpty() || !RunResume::find(*results, local, SetupRecords::resumeGrid, &from, &setupBytes, &why)) {
            const QString which = local == run || local == 0 ? QString() : QStringLiteral(" (this store's run %1)").arg(local);
            std::fprintf(stderr, "rfbench run: --resume %s%s: %s\n", qPrintable(parser.value(resume)), qPrintable(which),
                         qPrintable(why));
            return HeadlessRun::BadSetup;
        }
        setupPath = QStringLiteral("run %1").arg(run);
        resumedUnit = results->run(from.run).unit;
        resumedTables = results->run(from.run).tables;
        // The run goes on under the station it was recorded with, unless another is named.
        if (!parser.isSet(station)) {
            const QString recorded = results->run(from.run).station;
            if (!recorded.isEmpty())
                upload.station = recorded;
        }
    } else {
        setupPath = positional.at(1);
        QFile file(setupPath);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "rfbench run: %s: %s\n", qPrintable(setupPath), qPrintable(file.errorString()));
            return HeadlessRun::BadSetup;
        }
        setupBytes = file.readAll();
    }
    SetupFile::Result setup = SetupFile::read(setupBytes, setupPath, parser.values(set));
    if (!setup.ok()) {
        std::fprintf(stderr, "rfbench run: %s\n", qPrintable(setup.error));
        return HeadlessRun::BadSetup;
    }
    // A resumed run's setup comes from the store it is resumed in; its section names no other.
    if (!resuming && setup.setup.hasStore) {
        if (!parser.isSet(store) && !setup.setup.storeAddress.isEmpty()) {
            if (!chooseStore(setup.setup.storeAddress, QFileInfo(setupPath).absolutePath(),
                             setupPath + QStringLiteral(": store.address: ")))
                return HeadlessRun::BadSetup;
            // A setup may name another program's file: it is left as it is, and the run refused.
            if (!toServer) {
                storeNamedBy = StoreFile::NamedBy::Setup;
                const QString refusal = SqliteStore::refusal(storePath);
                if (!refusal.isEmpty()) {
                    std::fprintf(stderr,
                                 "rfbench run: %s: store.address: %s; a file that a setup names is never set aside: "
                                 "name another store, or this one with --store\n",
                                 qPrintable(setupPath), qPrintable(refusal));
                    return HeadlessRun::BadSetup;
                }
            }
        }
        if (!parser.isSet(station) && !setup.setup.station.isEmpty())
            upload.station = setup.setup.station;
    }
    // Named on the command line, in the setup or by the run resumed; else as the window names this
    // bench, so that both send the bench's store under one name; else the host's name.
    if (parser.isSet(station))
        upload.station = parser.value(station);
    if (upload.station.isEmpty() && namedStation)
        upload.station = namedStation(parser.value(dataDir));
    if (upload.station.isEmpty())
        upload.station = QHostInfo::localHostName();
    const QString missing = SetupFile::runnable(setup.setup);
    if (!missing.isEmpty()) {
        std::fprintf(stderr, "rfbench run: %s: %s\n", qPrintable(setupPath), qPrintable(missing));
        return HeadlessRun::BadSetup;
    }
    // Read and checked before anything is sent; a table past its due date is warned of as the
    // run starts, by the worker, unless the setup refuses it. A resumed run's come from its record.
    const SetupCorrections::Loaded corrections =
        resuming ? SetupCorrections::fromRecord(setup.setup, resumedTables, QDate::currentDate())
                 : SetupCorrections::load(setup.setup, QFileInfo(setupPath).absolutePath(), QDate::currentDate());
    if (!corrections.ok()) {
        std::fprintf(stderr, "rfbench run: %s: %s\n", qPrintable(setupPath), qPrintable(corrections.error));
        return HeadlessRun::BadSetup;
    }
    // The command line names the unit and its operator over the setup. A resumed run keeps the
    // unit it began with, which was checked then.
    if (parser.isSet(unit))
        setup.setup.unitSerial = parser.value(unit);
    if (resuming)
        setup.setup.unitSerial = resumedUnit;
    if (parser.isSet(operatorName))
        setup.setup.operatorName = parser.value(operatorName);
    if (!resuming) {
        const QString refusal = SetupFile::unitRefusal(setup.setup);
        if (!refusal.isEmpty()) {
            std::fprintf(stderr, "rfbench run: %s: %s\n", qPrintable(setupPath), qPrintable(refusal));
            return HeadlessRun::BadSetup;
        }
    }
    // As a JUnit report: a mistyped path never costs another program's file.
    const QString reportPath = parser.isSet(report) ? QFileInfo(parser.value(report)).absoluteFilePath() : QString();
    if (!reportPath.isEmpty()) {
        const QString refusal = TestReport::refusal(reportPath);
        if (!refusal.isEmpty()) {
            std::fprintf(stderr, "rfbench run: --report: %s\n", qPrintable(refusal));
            return HeadlessRun::BadSetup;
        }
    }
    if (parser.isSet(trace) && !LinkTrace::start(parser.value(trace))) {
        std::fprintf(stderr, "rfbench run: the trace file %s cannot be written\n", qPrintable(parser.value(trace)));
        return HeadlessRun::Failed;
    }
    // Made now, so that a report that cannot be written is known before anything is measured;
    // written at the end. An existing file keeps its bytes until then, and only an earlier
    // report is written over: a mistyped path never costs a store, a workbook or a setup.
    QFile junitFile(parser.value(junit));
    if (parser.isSet(junit) && QFileInfo(junitFile.fileName()).size() > 0) {
        QFile existing(junitFile.fileName());
        if (!existing.open(QIODevice::ReadOnly) || !JunitReport::isReport(existing.read(4096))) {
            std::fprintf(stderr, "rfbench run: --junit: %s is there and is not a JUnit report; it is left as it is\n",
                         qPrintable(junitFile.fileName()));
            LinkTrace::stop();
            return HeadlessRun::BadSetup;
        }
    }
    if (parser.isSet(junit) && !junitFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "rfbench run: the JUnit report %s cannot be written (%s)\n", qPrintable(parser.value(junit)),
                     qPrintable(junitFile.errorString()));
        LinkTrace::stop();
        return HeadlessRun::Failed;
    }

    HeadlessRun::Options options;
    options.setupName = setupPath;
    // A run's rows go to its own data folder, whatever folder is named now.
    options.workbookFolder = from.dataFolder.isEmpty() ? folder : from.dataFolder;
    options.storePath = storePath;
    options.storeNamedBy = storeNamedBy;
    options.station = upload.station;
    options.resumeRun = from.run;
    options.resumePass = from.pass;
    options.resumePoint = from.point;
    options.json = parser.isSet(json);
    options.terminal = ::isatty(STDERR_FILENO) == 1;
    options.unit = setup.setup.unitSerial;
    options.corrections = corrections;
    options.operatorName = setup.setup.operatorName.isEmpty() ? RunRecorder::userName() : setup.setup.operatorName;
    HeadlessRun run(setup.setup, options, stdout, stderr);

    std::unique_ptr<ServerUploadThread> uploading;
    if (toServer) {
        uploading = std::make_unique<ServerUploadThread>(upload);
        QObject::connect(uploading.get(), &ServerUploadThread::notice, &run, [](const QString &text) {
            std::fprintf(stderr, "rfbench run: %s\n", qPrintable(text));
        });
    }
    // A stop stops the run; once the run is over, the writing of its test report, then the wait
    // for the last upload.
    bool lastUpload = false;
    QProcess *reporting = nullptr;
    bool reportStopped = false;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &run, [&] {
        if (reporting) {
            reportStopped = true;
            return reporting->kill();
        }
        if (!lastUpload)
            return run.requestStop();
        uploading->stopWaiting();
    });
    stopSignals.arm(HeadlessRun::Stopped);
    int code = run.exec();
    LinkTrace::stop();
    if (junitFile.isOpen()) {
        const QByteArray report = run.junitReport();
        // A report a CI system waits for and does not get fails the run that had passed.
        if (!junitFile.resize(0) || junitFile.write(report) != report.size() || !junitFile.flush()) {
            std::fprintf(stderr, "rfbench run: the JUnit report %s could not be written (%s)\n",
                         qPrintable(junitFile.fileName()), qPrintable(junitFile.errorString()));
            if (code == HeadlessRun::Finished)
                code = HeadlessRun::Failed;
        }
        junitFile.close();
    }
    if (!reportPath.isEmpty() || !setup.setup.reportName.isEmpty()) {
        // From the local store, which has every point of the run whether or not a server does.
        const QList<qint64> runs = run.recordedRuns();
        QString path = reportPath;
        QString why;
        if (runs.isEmpty()) {
            why = QStringLiteral("the results store %1 holds no run of it whole").arg(storePath);
        } else if (path.isEmpty()) {
            ReportName::Values values;
            values.unit = setup.setup.unitSerial;
            values.started = run.started();
            values.operatorName = options.operatorName;
            values.station = upload.station;
            path = QDir(options.workbookFolder).absoluteFilePath(ReportName::expand(setup.setup.reportName, values));
            const QString given = writeUnderFreeName(runs, storePath, path, &reporting, &why);
            if (!given.isEmpty())
                path = given;
        } else {
            why = writeTestReport(runs, storePath, path, &reporting);
        }
        if (why.isEmpty())
            std::fprintf(stderr, "rfbench run: the test report %s written\n", qPrintable(QDir::toNativeSeparators(path)));
        if (!why.isEmpty()) {
            std::fprintf(stderr, "rfbench run: the test report %s was not written: %s\n",
                         qPrintable(QDir::toNativeSeparators(path.isEmpty() ? setup.setup.reportName : path)),
                         qPrintable(why));
            // A stop during the writing ends the run as stopped; a report a run was to leave
            // and did not fails a run that had passed.
            if (code == HeadlessRun::Finished)
                code = reportStopped ? HeadlessRun::Stopped : HeadlessRun::Failed;
        }
    }
    if (uploading) {
        // A last round for the points of the run's end; the run's result does not wait longer.
        QString text;
        ServerUpload::State state = ServerUpload::State::Unknown;
        lastUpload = true;
        const bool up = uploading->finish(lastUploadMs, nullptr, &text, &state);
        // A server that refused the store takes none of its points later either.
        if (!up)
            std::fprintf(stderr, "rfbench run: %s%s\n", qPrintable(text),
                         state == ServerUpload::State::Refused ? "" : "; what it lacks goes up with the next run of this station");
        // Bounded: a round stuck on a server that stopped answering is left to the process's end.
        uploading->end(ServerUploadThread::endWaitMs);
    }
    return code;
}

} // namespace RunCommand
