// Fuzzes the conversion of analyzer answers into lists of numbers.

#include "AnswerParsing.h"

#include <QString>
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
    // Each field is a finite number or, when it is none, NaN; never an infinity.
    for (double value : values)
        if (std::isinf(value))
            std::abort();
    if (values.size() > bytes.size())
        std::abort();
    // The trouble stays one short line of printable ASCII, whatever came.
    const QString trouble = AnswerParsing::notANumberTrouble("trac:math:peak?", bytes,
                                                             AnswerParsing::Expected::NumberList);
    if (trouble.size() > 200)
        std::abort();
    for (const QChar c : trouble)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            std::abort();
    return 0;
}
