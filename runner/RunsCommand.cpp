#include "RunsCommand.h"

#include "ConsoleOutput.h"
#include "Counted.h"
#include "RunDetails.h"
#include "RunExport.h"
#include "RunHistory.h"
#include "ServerAddress.h"
#include "SqliteStore.h"
#include "StoredRows.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

namespace RunsCommand {

namespace {

const char usage[] = "Lists the runs of the results store, shows one, exports its points or prints its setup.\n\n"
                     "  rfbench runs [--json] [--since DATE] [--match TEXT] [--station NAME] [--unit SERIAL]\n"
                     "               [--verdict VERDICT] [--limit N]\n"
                     "  rfbench runs show ID [--json]\n"
                     "  rfbench runs export ID --csv FILE   (FILE \"-\": standard output)\n"
                     "  rfbench runs setup ID               (the setup, as a file rfbench run takes)\n\n"
                     "Lists are newest first, with times in local time; JSON and CSV times are UTC.\n"
                     "The store is <data folder>/rfbench.sqlite unless --store names another, or a shared\n"
                     "results server (postgresql://user@host:port/database): then the runs of every station,\n"
                     "numbered by the server.\n\n"
                     "Exit codes:\n"
                     "  0  done\n"
                     "  1  the results store or the CSV file cannot be read or written\n"
                     "  2  the command line is wrong, or the store has no run of that number\n";

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

QJsonValue utcValue(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(RunExport::utcText(time)) : QJsonValue();
}

QString localText(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QJsonValue numberValue(double value)
{
    return qIsFinite(value) ? QJsonValue(value) : QJsonValue();
}

QJsonObject runObject(const RunSummary &run)
{
    return QJsonObject{{QStringLiteral("id"), run.id},
                       {QStringLiteral("station"), run.station},
                       {QStringLiteral("user"), run.user},
                       {QStringLiteral("version"), run.version},
                       {QStringLiteral("started"), utcValue(run.started)},
                       {QStringLiteral("ended"), utcValue(run.ended)},
                       {QStringLiteral("measurement"), run.measurement},
                       {QStringLiteral("outcome"), run.outcome},
                       {QStringLiteral("points"), run.points},
                       {QStringLiteral("passes"), run.passes},
                       {QStringLiteral("troubles"), run.troubles},
                       {QStringLiteral("workbooks"), QJsonArray::fromStringList(run.workbooks)},
                       {QStringLiteral("instruments"), run.instruments},
                       {QStringLiteral("identities"), run.identities},
                       {QStringLiteral("note"), run.note},
                       {QStringLiteral("unit"), run.unit},
                       {QStringLiteral("operator"), run.operatorName},
                       // null for a run without limits
                       {QStringLiteral("verdict"), run.verdict.verdict.isEmpty() ? QJsonValue() : run.verdict.verdict},
                       {QStringLiteral("failed"), run.verdict.failed},
                       {QStringLiteral("marginal"), run.verdict.marginal},
                       {QStringLiteral("unread"), run.verdict.unread}};
}

// The verdict as the store keeps it, from what a person types: any case, "-" or "_" for the space.
QString verdictNamed(const QString &text)
{
    QString name = text.trimmed().toUpper();
    name.replace(QLatin1Char('-'), QLatin1Char(' ')).replace(QLatin1Char('_'), QLatin1Char(' '));
    return StoredRows::verdicts().contains(name) ? name : QString();
}

void printList(const QList<RunSummary> &runs, bool filtered)
{
    if (runs.isEmpty()) {
        print(filtered ? QStringLiteral("No run matches.\n") : QStringLiteral("No runs are recorded.\n"));
        return;
    }
    // Columns are added at the end, so that a script that cuts the ones before keeps working.
    const QStringList heads{"ID", "Started", "Ended", "Outcome", "Measurement", "Points", "Passes", "Troubles",
                            "Station", "User", "Workbooks", "Unit", "Verdict"};
    const QList<bool> right{true, false, false, false, false, true, true, true, false, false, false, false, false};
    QList<QStringList> rows{heads};
    for (const RunSummary &run : runs)
        rows << QStringList{QString::number(run.id), localText(run.started), localText(run.ended), run.outcome,
                            run.measurement, QString::number(run.points), QString::number(run.passes),
                            QString::number(run.troubles), run.station, run.user,
                            run.workbooks.join(QStringLiteral(", ")), run.unit, run.verdict.verdict};
    QList<int> widths;
    for (int column = 0; column < heads.size(); ++column) {
        int width = 0;
        for (const QStringList &row : rows)
            width = qMax(width, row.at(column).size());
        widths << width;
    }
    for (const QStringList &row : rows) {
        QStringList cells;
        for (int column = 0; column < row.size(); ++column) {
            const bool last = column + 1 == row.size();
            cells << (right.at(column) ? row.at(column).rightJustified(widths.at(column))
                                       : last ? row.at(column) : row.at(column).leftJustified(widths.at(column)));
        }
        print(cells.join(QStringLiteral("  ")) + QLatin1Char('\n'));
    }
}

QJsonValue setupValue(const QByteArray &setup)
{
    const QJsonDocument document = QJsonDocument::fromJson(setup);
    return document.isObject() ? QJsonValue(document.object()) : QJsonValue(QString::fromUtf8(setup));
}

void printRun(RunHistory &store, const RunSummary &run, bool json)
{
    if (!json) {
        print(RunDetails::read(store, run));
        return;
    }
    QJsonObject object = runObject(run);
    if (store.knowsWorkbookRows()) {
        qint64 waiting = 0;
        for (const StoredPoint &point : store.points(run.id))
            waiting += point.inWorkbook ? 0 : 1;
        object.insert(QStringLiteral("pointsNotInWorkbook"), waiting);
    } else {
        object.insert(QStringLiteral("localId"), run.localId);
    }
    object.insert(QStringLiteral("setup"), setupValue(run.setup));
    QJsonArray passList;
    for (const StoredPass &pass : store.passes(run.id))
        passList.append(QJsonObject{{QStringLiteral("pass"), pass.pass},
                                    {QStringLiteral("outputPower"), numberValue(pass.outputPower)},
                                    {QStringLiteral("started"), utcValue(pass.started)}});
    object.insert(QStringLiteral("passList"), passList);
    QJsonArray troubleList;
    for (const RunTrouble &trouble : store.troubles(run.id))
        troubleList.append(QJsonObject{{QStringLiteral("at"), utcValue(trouble.when)},
                                       {QStringLiteral("instrument"), trouble.instrument},
                                       {QStringLiteral("text"), trouble.text}});
    object.insert(QStringLiteral("troubleList"), troubleList);
    QJsonArray corrections;
    for (const RecordedTable &table : run.tables)
        corrections.append(QJsonObject{{QStringLiteral("path"), table.path},
                                       {QStringLiteral("source"), table.source},
                                       {QStringLiteral("sha256"), table.sha256},
                                       {QStringLiteral("due"), table.due.isValid() ? QJsonValue(table.due.toString(Qt::ISODate))
                                                                                  : QJsonValue()},
                                       {QStringLiteral("interpolation"), table.interpolation},
                                       {QStringLiteral("beyond"), table.beyond},
                                       {QStringLiteral("text"), QString::fromUtf8(table.text)}});
    object.insert(QStringLiteral("corrections"), corrections);
    print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
}

} // namespace

StoreOptions::StoreOptions()
    : dataDir(QStringLiteral("data-dir"), QStringLiteral("The data folder, whose rfbench.sqlite is the store."),
              QStringLiteral("folder"))
    , store(QStringLiteral("store"), QStringLiteral("The results store's file, or a results server's address."),
            QStringLiteral("file"))
{
}

QString storeAddress(const QCommandLineParser &parser, const StoreOptions &options, const FolderChooser &chooseFolder,
                     QString *wrong)
{
    const QString store = parser.value(options.store);
    if (ServerAddress::isServerAddress(store)) {
        QString why;
        ServerAddress::parse(store, &why);
        if (!why.isEmpty()) {
            *wrong = QStringLiteral("--store ") + why;
            return QString();
        }
        return store;
    }
    if (!store.isEmpty())
        return store;
    const QString folder = chooseFolder(parser.value(options.dataDir), wrong);
    return folder.isEmpty() ? QString() : SqliteStore::defaultPath(folder);
}

int main(int argc, char *argv[], const FolderChooser &chooseFolder)
{
    ConsoleOutput::keepDebugLinesOut();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rfbench"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(usage));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version of rfbench."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("JSON on standard output."));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Runs started on or after <date>: 2026-12-08 (local time) or "
                                                  "2026-12-08T10:30:00, with Z or an offset for another zone."),
                                   QStringLiteral("date"));
    const QCommandLineOption match(QStringLiteral("match"),
                                   QStringLiteral("Runs with <text> in their measurement, station, outcome, setup, "
                                                  "workbooks, unit or operator."),
                                   QStringLiteral("text"));
    const QCommandLineOption limit(QStringLiteral("limit"), QStringLiteral("At most <n> runs, the newest."),
                                   QStringLiteral("n"));
    const QCommandLineOption station(QStringLiteral("station"), QStringLiteral("Runs of the station <name> alone."),
                                     QStringLiteral("name"));
    const QCommandLineOption unit(QStringLiteral("unit"),
                                  QStringLiteral("Runs of the unit whose serial number is <serial>, whole and as "
                                                 "recorded: letters' case counts."),
                                  QStringLiteral("serial"));
    const QCommandLineOption verdict(QStringLiteral("verdict"),
                                     QStringLiteral("Runs of <verdict> alone: PASS, MARGINAL, NO-READING, FAIL or "
                                                    "INCOMPLETE, as the list shows it."),
                                     QStringLiteral("verdict"));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("The CSV file export writes."),
                                 QStringLiteral("file"));
    const StoreOptions where;
    parser.addOptions({help, version, json, since, match, station, unit, verdict, limit, csv, where.dataDir, where.store});
    parser.addPositionalArgument(QStringLiteral("runs"), QStringLiteral("The command."));

    auto wrong = [](const QString &why) {
        std::fprintf(stderr, "rfbench runs: %s (rfbench runs --help tells more)\n", qPrintable(why));
        return int(WrongCommand);
    };
    if (!parser.parse(application.arguments()))
        return wrong(parser.errorText());
    if (parser.isSet(help)) {
        print(parser.helpText().replace(QStringLiteral("[options] runs"), QStringLiteral("runs [options]")));
        return Done;
    }
    if (parser.isSet(version)) {
        print(QStringLiteral("rfbench %1\n").arg(QCoreApplication::applicationVersion()));
        return Done;
    }
    const QStringList positional = parser.positionalArguments().mid(1);
    const QString command = positional.value(0);
    if (!command.isEmpty() && command != QLatin1String("show") && command != QLatin1String("export")
        && command != QLatin1String("setup"))
        return wrong(QStringLiteral("unknown command \"%1\"").arg(command));
    if (positional.size() != (command.isEmpty() ? 0 : 2))
        return wrong(command.isEmpty() ? QStringLiteral("too many arguments")
                                       : QStringLiteral("give one run number: rfbench runs %1 ID").arg(command));
    // Each option where it means something.
    const QList<QPair<const QCommandLineOption *, QStringList>> allowed{
        {&json, {QString(), QStringLiteral("show")}},
        {&since, {QString()}},
        {&match, {QString()}},
        {&limit, {QString()}},
        {&station, {QString()}},
        {&unit, {QString()}},
        {&verdict, {QString()}},
        {&csv, {QStringLiteral("export")}}};
    for (const auto &option : allowed)
        if (parser.isSet(*option.first) && !option.second.contains(command))
            return wrong(QStringLiteral("--%1 does not go with %2")
                             .arg(option.first->names().first(),
                                  command.isEmpty() ? QStringLiteral("the list") : QStringLiteral("runs ") + command));
    if (command == QLatin1String("export") && !parser.isSet(csv))
        return wrong(QStringLiteral("export needs --csv FILE"));

    RunFilter filter;
    if (parser.isSet(since)) {
        filter.since = QDateTime::fromString(parser.value(since), Qt::ISODate);
        if (!filter.since.isValid())
            return wrong(QStringLiteral("--since: \"%1\" is not a date such as 2026-12-08 or 2026-12-08T10:30:00")
                             .arg(parser.value(since)));
    }
    filter.text = parser.value(match);
    filter.station = parser.value(station);
    filter.unit = parser.value(unit).trimmed();
    if (parser.isSet(unit) && filter.unit.isEmpty())
        return wrong(QStringLiteral("--unit needs a serial number"));
    if (parser.isSet(verdict)) {
        filter.verdict = verdictNamed(parser.value(verdict));
        if (filter.verdict.isEmpty())
            return wrong(QStringLiteral("--verdict: \"%1\" is none of PASS, MARGINAL, NO-READING, FAIL, INCOMPLETE")
                             .arg(parser.value(verdict)));
    }
    if (parser.isSet(limit)) {
        bool isNumber = false;
        filter.limit = parser.value(limit).toInt(&isNumber);
        if (!isNumber || filter.limit < 1)
            return wrong(QStringLiteral("--limit: \"%1\" is not a number of runs").arg(parser.value(limit)));
    }
    qint64 id = 0;
    if (!command.isEmpty()) {
        bool isNumber = false;
        id = positional.at(1).toLongLong(&isNumber);
        if (!isNumber || id < 1)
            return wrong(QStringLiteral("\"%1\" is not a run number").arg(positional.at(1)));
    }

    QString storeWrong;
    const QString path = storeAddress(parser, where, chooseFolder, &storeWrong);
    if (path.isEmpty())
        return wrong(storeWrong);
    const std::unique_ptr<RunHistory> store = RunHistory::open(path);
    auto unreadable = [&store] {
        std::fprintf(stderr, "rfbench runs: %s\n", qPrintable(store->problem()));
        return int(CannotRead);
    };
    if (!store->problem().isEmpty())
        return unreadable();

    if (command.isEmpty()) {
        const QList<RunSummary> runs = store->runs(filter);
        if (!store->problem().isEmpty())
            return unreadable();
        if (parser.isSet(json)) {
            QJsonArray list;
            for (const RunSummary &run : runs)
                list.append(runObject(run));
            print(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)));
        } else {
            printList(runs, parser.isSet(since) || parser.isSet(match) || parser.isSet(station) || parser.isSet(unit)
                                || parser.isSet(verdict));
        }
        return Done;
    }

    const RunSummary run = store->run(id);
    if (!store->problem().isEmpty())
        return unreadable();
    if (run.id == 0) {
        std::fprintf(stderr, "rfbench runs: %s has no run %lld\n", qPrintable(store->where()), id);
        return WrongCommand;
    }
    if (command == QLatin1String("setup")) {
        if (run.setup.isEmpty()) {
            std::fprintf(stderr, "rfbench runs: run %lld has no setup recorded\n", id);
            return CannotRead;
        }
        std::fwrite(run.setup.constData(), 1, size_t(run.setup.size()), stdout);
        return Done;
    }
    if (command == QLatin1String("show")) {
        printRun(*store, run, parser.isSet(json));
        return store->problem().isEmpty() ? int(Done) : unreadable();
    }

    const QList<StoredPoint> points = store->points(id);
    if (!store->problem().isEmpty())
        return unreadable();
    const QByteArray table = RunExport::csv(points);
    const QString target = parser.value(csv);
    if (target == QLatin1String("-")) {
        std::fwrite(table.constData(), 1, size_t(table.size()), stdout);
        return Done;
    }
    // Whole or not at all: a file that was there stays as it was when this one cannot be written.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(table) != table.size() || !file.commit()) {
        std::fprintf(stderr, "rfbench runs: %s: %s\n", qPrintable(QDir::toNativeSeparators(target)),
                     qPrintable(file.errorString()));
        return CannotRead;
    }
    std::fprintf(stderr, "rfbench runs: %s of run %lld written to %s\n", qPrintable(Counted::of(points.size(), "point")),
                 id, qPrintable(QDir::toNativeSeparators(target)));
    return Done;
}

} // namespace RunsCommand
