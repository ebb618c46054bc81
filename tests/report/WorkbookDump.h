#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

// Reads workbooks through openpyxl, an independent reader, for checks of what was written.
namespace WorkbookDump {

// The whole dump: sheet names, cells of every sheet, first sheet's row 1 height and column A width.
QJsonObject dump(const QString &path);
// Cells of one sheet as "A1" -> "n:1.5", "s:text" or "d:<ISO date-time>".
QMap<QString, QString> cells(const QJsonObject &dump, const QString &sheet);
// Runs the fixture maker: xlsx_tool.py <arguments>; false on failure.
bool make(const QStringList &arguments);
// Runs a check of xlsx_tool.py: its exit code (77: LibreOffice missing, that part skipped; 1 instead
// when the environment variable CI is set),
// with what it reported in errors.
int check(const QStringList &arguments, QString *errors);
// Every workbook in the folder, read by openpyxl and by LibreOffice, holds the same values: 0;
// 77 when LibreOffice is missing; otherwise 1 with the differences in errors.
int crossCheck(const QString &folder, QString *errors);

} // namespace WorkbookDump
