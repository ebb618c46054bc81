#include "ConsoleOutput.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace ConsoleOutput {

void keepDebugLinesOut()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    });
}

} // namespace ConsoleOutput
