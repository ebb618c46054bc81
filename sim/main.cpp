#include "BenchModel.h"
#include "InstrumentServer.h"
#include "SynthesizerSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
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
    {"silent", "Never answer."},
    {"close-mid-answer", "Close the connection after the first piece of an answer."},
};
const char *const instrumentPrefixes[] = {"synth-"};

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
    m.silent = flagOption(parser, prefix, "silent");
    m.closeMidAnswer = flagOption(parser, prefix, "close-mid-answer");
    return m;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("benchsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated RF bench: synthesizer on loopback TCP (and a pseudo-terminal)."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("synth-address"), QStringLiteral("Synthesizer address (loopback)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("synth-port"), QStringLiteral("Synthesizer TCP port."), QStringLiteral("port"),
         QStringLiteral("5023")},
        {QStringLiteral("serial"), QStringLiteral("Also serve the synthesizer on a pseudo-terminal.")},
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
    SynthesizerSim synthesizer(model);

    InstrumentServer synthServer(
        QStringLiteral("synthesizer"), [&](const QByteArray &line) { return synthesizer.handle(line); },
        misbehaviourFor(parser, QStringLiteral("synth-")), verbose);
    const QHostAddress synthAddress(parser.value(QStringLiteral("synth-address")));
    const quint16 synthPort = quint16(parser.value(QStringLiteral("synth-port")).toUInt());
    if (!synthServer.listen(synthAddress, synthPort))
        return 2;
    std::printf("synthesizer listening on %s:%u\n", qPrintable(synthAddress.toString()), synthPort);
    if (parser.isSet(QStringLiteral("serial"))) {
        const QString path = synthServer.openPseudoTerminal();
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
