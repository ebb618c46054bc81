// Fuzzes the workbook engine: arbitrary bytes are opened as a workbook; when they open, a report
// row is appended and the result must open again with the row in place.

#include "XlsxDocument.h"

#include <QString>
#include <QtGlobal>

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
    std::unique_ptr<XlsxDocument> document = XlsxDocument::fromBytes(bytes);
    if (!document)
        return 0;
    document->renameFirstSheet(QStringLiteral("Лист 1"));
    XlsxSheet &sheet = document->sheet();
    const int row = qMin(sheet.lastUsedRow(), 1048570) + 1;
    sheet.setRowHeight(1, 12.75);
    sheet.setColumnWidth(1, 15);
    sheet.setNumber(row, 1, 1.25, document->dateTimeStyle());
    sheet.setText(row, 3, QStringLiteral("BW 50 <&>"));
    sheet.setNumber(row, 2, -3.5);
    const QByteArray saved = document->toBytes();
    std::unique_ptr<XlsxDocument> again = XlsxDocument::fromBytes(saved);
    if (!again || again->sheet().lastUsedRow() != row)
        std::abort();
    return 0;
}
