// Fuzzes the renaming of sheet references: any formula or XML part is rewritten without a crash,
// a text that never names the sheet comes back unchanged, and renaming twice over a name that
// occurs nowhere else gives back the original.

#include "SheetReferences.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString formula = QString::fromUtf8(bytes);
    const QString from = QStringLiteral("Data");
    const QString renamed = SheetReferences::renameInFormula(formula, from, QStringLiteral("Лист 1"));
    if (!formula.contains(from, Qt::CaseInsensitive) && renamed != formula)
        std::abort();
    if (!formula.contains(QStringLiteral("Лист 1"), Qt::CaseInsensitive)
        && !formula.contains(QStringLiteral("'"))) {
        // Back again: every reference to Data became one to Лист 1 and nothing else did.
        const QString back = SheetReferences::renameInFormula(renamed, QStringLiteral("Лист 1"), from);
        if (back.compare(formula, Qt::CaseInsensitive) != 0 && !formula.contains(QLatin1Char(':')))
            std::abort();
    }
    SheetReferences::renameInPart(bytes, from, QStringLiteral("Лист 1"));
    return 0;
}
