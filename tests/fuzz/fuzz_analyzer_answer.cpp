// Fuzzes the conversion of analyzer answers into lists of numbers.

#include "AnswerParsing.h"

#include <QtGlobal>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QList<double> values = AnswerParsing::toNumberList(bytes);
    for (double value : values)
        if (!std::isfinite(value))
            std::abort();
    if (values.size() > bytes.size())
        std::abort();
    return 0;
}
