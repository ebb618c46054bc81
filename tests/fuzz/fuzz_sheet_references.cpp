// Fuzzes the renaming of sheet references: any formula or XML part is rewritten without a crash,
// a text that never names the sheet comes back unchanged, and renaming to a name that occurs
// nowhere else and back gives what renaming the sheet to its own name gives.

#include "SheetReferences.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

const QString report = QStringLiteral("Лист 1");

void checkFormula(const QString &formula, const QString &from)
{
    const QString renamed = SheetReferences::renameInFormula(formula, from, report);
    const QString quoted = QString(from).replace(QLatin1Char('\''), QLatin1String("''"));
    if (!formula.contains(from, Qt::CaseInsensitive) && !formula.contains(quoted, Qt::CaseInsensitive)
        && renamed != formula)
        std::abort();
    if (formula.contains(report, Qt::CaseInsensitive))
        return;
    // Renaming to the sheet's own name respells its references (quotes, case, "Data:Data!")
    // and nothing else; the way there and back must land on the same text.
    const QString back = SheetReferences::renameInFormula(renamed, report, from);
    if (back != SheetReferences::renameInFormula(formula, from, from))
        std::abort();
}

void checkPart(const QByteArray &xml, const QString &from)
{
    const QByteArray renamed = SheetReferences::renameInPart(xml, from, report);
    // Numeric character references could spell the new name where a plain search cannot see it.
    if (xml.contains("&#") || QString::fromUtf8(xml).contains(report, Qt::CaseInsensitive))
        return;
    if (SheetReferences::renameInPart(renamed, report, from) != SheetReferences::renameInPart(xml, from, from))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString formula = QString::fromUtf8(bytes);
    for (const QString &from : {QStringLiteral("Data"), QStringLiteral("It's")}) {
        checkFormula(formula, from);
        checkPart(bytes, from);
    }
    return 0;
}
