// Fuzzes the conversion of a numeric instrument answer and the wording of its trouble.

#include "AnswerParsing.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    // A number exactly when the answer is one; never an infinity.
    const double value = AnswerParsing::toNumber(bytes);
    if (std::isinf(value) || std::isnan(value) == AnswerParsing::isNumber(bytes))
        std::abort();
    // The trouble stays one short line of printable ASCII, whatever came.
    const QString trouble = AnswerParsing::notANumberTrouble("FETC?", bytes);
    if (trouble.size() > 200)
        std::abort();
    for (const QChar c : trouble)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            std::abort();
    return 0;
}
