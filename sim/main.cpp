#include "AnalyzerSim.h"
#include "BenchModel.h"
#include "Corrections.h"
#include "InstrumentServer.h"
#include "PowerMeterSim.h"
#include "SynthesizerSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <vector>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

const char *const misbehaviourOptions[][3] = {
    {"answer-delay-ms", "Send every answer this many milliseconds late.", "ms"},
    {"split-bytes", "Send answers in pieces of this many bytes.", "bytes"},
    {"split-gap-ms", "Pause between two pieces of a split answer (default 5).", "ms"},
    {"close-after", "Close the connection when this many lines have arrived.", "lines"},
};
const char *const misbehaviourFlags[][2] = {
    {"garbage", "Answer every query with bytes that are not a valid answer."},
    {"nan", "Answer every query with NaN."},
    {"silent", "Never answer."},
    {"close-mid-answer", "Close the connection after the first piece of an answer."},
    {"hang-up", "Accept each connection and close it at once."},
};
const char *const instrumentPrefixes[] = {"synth-", "powermeter-", "analyzer-"};

void addMisbehaviourOptions(QCommandLineParser &parser)
{
    QStringList prefixes{QString()};
    for (const char *prefix : instrumentPrefixes)
        prefixes << QString::fromLatin1(prefix);
    for (const QString &prefix : prefixes) {
        const QString scope = prefix.isEmpty() ? QStringLiteral("every instrument")
                                               : QStringLiteral("only ") + prefix.chopped(1);
        for (const auto &option : misbehaviourOptions)
            parser.addOption({prefix + QLatin1String(option[0]),
                              QStringLiteral("%1 (%2)").arg(QLatin1String(option[1]), scope),
                              QLatin1String(option[2])});
        for (const auto &option : misbehaviourFlags)
            parser.addOption({prefix + QLatin1String(option[0]),
                              QStringLiteral("%1 (%2)").arg(QLatin1String(option[1]), scope)});
    }
}

int intOption(const QCommandLineParser &parser, const QString &prefix, const char *name, int fallback)
{
    const QString specific = prefix + QLatin1String(name);
    if (parser.isSet(specific))
        return parser.value(specific).toInt();
    if (parser.isSet(QLatin1String(name)))
        return parser.value(QLatin1String(name)).toInt();
    return fallback;
}

bool flagOption(const QCommandLineParser &parser, const QString &prefix, const char *name)
{
    return parser.isSet(prefix + QLatin1String(name)) || parser.isSet(QLatin1String(name));
}

Misbehaviour misbehaviourFor(const QCommandLineParser &parser, const QString &prefix)
{
    Misbehaviour m;
    m.answerDelayMs = intOption(parser, prefix, "answer-delay-ms", 0);
    m.splitBytes = intOption(parser, prefix, "split-bytes", 0);
    m.splitGapMs = intOption(parser, prefix, "split-gap-ms", 5);
    m.closeAfter = intOption(parser, prefix, "close-after", 0);
    m.garbage = flagOption(parser, prefix, "garbage");
    m.nan = flagOption(parser, prefix, "nan");
    m.silent = flagOption(parser, prefix, "silent");
    m.closeMidAnswer = flagOption(parser, prefix, "close-mid-answer");
    m.hangUp = flagOption(parser, prefix, "hang-up");
    return m;
}

// A path-loss table file, read as the application reads a correction table; its end values hold
// beyond it, so that any frequency the synthesizer is set to has a loss.
bool pathLossOption(const QCommandLineParser &parser, const QString &option, Corrections::CorrectionTable *table)
{
    const QString name = parser.value(option);
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "benchsim: --%s: %s: %s\n", qPrintable(option), qPrintable(name),
                     qPrintable(file.errorString()));
        return false;
    }
    const Corrections::Parsed parsed = Corrections::parse(file.readAll(), name, Corrections::Interpolation::Linear,
                                                          Corrections::Beyond::Hold);
    if (!parsed.ok()) {
        std::fprintf(stderr, "benchsim: --%s: %s\n", qPrintable(option), qPrintable(parsed.error));
        return false;
    }
    *table = parsed.table;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("benchsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated RF bench on loopback addresses: synthesizer (TCP and optionally a "
                       "pseudo-terminal), power meter and spectrum analyzer."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("synth-address"), QStringLiteral("Synthesizer address (loopback)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("synth-port"), QStringLiteral("Synthesizer TCP port."), QStringLiteral("port"),
         QStringLiteral("5023")},
        {QStringLiteral("powermeter-address"), QStringLiteral("Power meter address (loopback)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("powermeter-port"), QStringLiteral("Power meter TCP port."),
         QStringLiteral("port"), QStringLiteral("5025")},
        {QStringLiteral("analyzer-address"), QStringLiteral("Spectrum analyzer address (loopback)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.2")},
        {QStringLiteral("analyzer-port"), QStringLiteral("Spectrum analyzer TCP port."),
         QStringLiteral("port"), QStringLiteral("5025")},
        {QStringLiteral("analyzer-model"), QStringLiteral("Analyzer dialect: rs or kvd."),
         QStringLiteral("model"), QStringLiteral("rs")},
        {QStringLiteral("analyzer-loss"), QStringLiteral("Cable loss to the analyzer in dB (1.4)."),
         QStringLiteral("dB"), QStringLiteral("1.4")},
        {QStringLiteral("path-loss-meter"),
         QStringLiteral("Path loss to the power meter from a correction table file (frequency_mhz,loss_db), "
                        "in place of the built-in cable."),
         QStringLiteral("file")},
        {QStringLiteral("path-loss-analyzer"),
         QStringLiteral("Path loss to the analyzer from a correction table file, at each signal's own "
                        "frequency, in place of --analyzer-loss."),
         QStringLiteral("file")},
        {QStringLiteral("spurs"),
         QStringLiteral("Spurs as offset:dBc pairs, offsets in MHz from the carrier, e.g. 0.4:55,2:48."),
         QStringLiteral("list")},
        {QStringLiteral("serial"), QStringLiteral("Also serve the synthesizer on a pseudo-terminal.")},
        {QStringLiteral("echo-frequency"),
         QStringLiteral("Readings echo the frequency in MHz they were taken at (synthesizer detector and "
                        "temperature, power meter channels), so a reading shows which point it belongs to.")},
        {QStringLiteral("verbose"), QStringLiteral("Log every received line to standard error.")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the simulated noise."), QStringLiteral("n"),
         QStringLiteral("1")},
    });
    addMisbehaviourOptions(parser);
    parser.process(app);

    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier quitNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    const bool verbose = parser.isSet(QStringLiteral("verbose"));
    BenchModel model(parser.value(QStringLiteral("seed")).toUInt());
    model.echoFrequency = parser.isSet(QStringLiteral("echo-frequency"));
    SynthesizerSim synthesizer(model);
    PowerMeterSim powerMeter(model);
    const QString modelName = parser.value(QStringLiteral("analyzer-model")).toLower();
    if (modelName != QLatin1String("rs") && modelName != QLatin1String("kvd")) {
        std::fprintf(stderr, "benchsim: --analyzer-model must be rs or kvd\n");
        return 2;
    }
    AnalyzerSim analyzer(model, modelName == QLatin1String("rs") ? AnalyzerSim::Model::RohdeSchwarz
                                                                 : AnalyzerSim::Model::Kvd4471b);
    analyzer.setCableLoss(parser.value(QStringLiteral("analyzer-loss")).toDouble());
    if (parser.isSet(QStringLiteral("path-loss-analyzer")) && parser.isSet(QStringLiteral("analyzer-loss"))) {
        std::fprintf(stderr, "benchsim: --analyzer-loss and --path-loss-analyzer both give the analyzer's loss\n");
        return 2;
    }
    Corrections::CorrectionTable pathLoss;
    if (parser.isSet(QStringLiteral("path-loss-meter"))) {
        if (!pathLossOption(parser, QStringLiteral("path-loss-meter"), &pathLoss))
            return 2;
        powerMeter.setPathLoss(pathLoss);
    }
    if (parser.isSet(QStringLiteral("path-loss-analyzer"))) {
        if (!pathLossOption(parser, QStringLiteral("path-loss-analyzer"), &pathLoss))
            return 2;
        analyzer.setPathLoss(pathLoss);
    }
    if (parser.isSet(QStringLiteral("spurs")) && !analyzer.setSpurs(parser.value(QStringLiteral("spurs")))) {
        std::fprintf(stderr, "benchsim: --spurs expects offset:dBc pairs separated by commas\n");
        return 2;
    }

    struct Instrument
    {
        const char *name;
        const char *prefix;
        InstrumentServer::Handler handler;
    };
    const Instrument instruments[] = {
        {"synthesizer", "synth-", [&](const QByteArray &line) { return synthesizer.handle(line); }},
        {"power meter", "powermeter-", [&](const QByteArray &line) { return powerMeter.handle(line); }},
        {"spectrum analyzer", "analyzer-", [&](const QByteArray &line) { return analyzer.handle(line); }},
    };
    std::vector<std::unique_ptr<InstrumentServer>> servers;
    for (const Instrument &instrument : instruments) {
        const QString prefix = QLatin1String(instrument.prefix);
        auto server = std::make_unique<InstrumentServer>(QLatin1String(instrument.name), instrument.handler,
                                                         misbehaviourFor(parser, prefix), verbose);
        const QHostAddress address(parser.value(prefix + QLatin1String("address")));
        const quint16 port = quint16(parser.value(prefix + QLatin1String("port")).toUInt());
        if (!server->listen(address, port))
            return 2;
        std::printf("%s listening on %s:%u\n", instrument.name, qPrintable(address.toString()), port);
        servers.push_back(std::move(server));
    }
    if (parser.isSet(QStringLiteral("serial"))) {
        const QString path = servers.front()->openPseudoTerminal();
        if (path.isEmpty())
            return 2;
        std::printf("synthesizer serial port: %s\n", qPrintable(path));
    }
    std::printf("benchsim ready\n");
    std::fflush(stdout);

    const int result = app.exec();
    std::fprintf(stderr, "benchsim: stopped\n");
    return result;
}
