#pragma once

#include <QByteArray>
#include <QString>

// Carrying references along when a worksheet is renamed, as the spreadsheet program does:
// formulas, defined names, chart series, pivot sources and hyperlinks that name the sheet are
// made to name it anew. Plain functions without I/O.
namespace SheetReferences {

// A sheet name as a formula writes it: in single quotes (doubled inside) when it is not a plain
// name.
QString asReference(const QString &name);

// The formula with every reference to sheet from (compared as the spreadsheet compares sheet
// names, without regard to case) made to refer to sheet to. Text in string literals and
// references into other workbooks are left alone.
QString renameInFormula(const QString &formula, const QString &from, const QString &to);

// The XML part with the references in its formulas renamed: the text of the elements f, formula,
// formula1, formula2, definedName, calculatedColumnFormula, totalsRowFormula and sqref, hyperlink
// locations, cell links of shapes and controls, conditional format values, and the sheet of pivot
// cache sources. Only the names are replaced; the part is unchanged byte for byte where nothing
// refers to the sheet.
QByteArray renameInPart(const QByteArray &xml, const QString &from, const QString &to);

} // namespace SheetReferences
