// Fuzzes the conversion of a numeric instrument answer.

#include "AnswerParsing.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    if (!std::isfinite(AnswerParsing::toNumber(bytes)))
        std::abort();
    return 0;
}
