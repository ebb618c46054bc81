#pragma once

#include <QVector>

// Where a report's tables stand on their pages: plain arithmetic without painting, in points.
namespace ReportLayout {

// The widths of columns that would take these natural widths. Where they fit, each gets its
// own and the last the rest; where not, the columns that may wrap give up width first, down to
// minimum each, and then every column shrinks in proportion.
QVector<double> columnWidths(const QVector<double> &natural, const QVector<bool> &wraps, double available,
                             double minimum);

// The rows each page of a table begins with, the first 0, for a table that begins with first
// points left on its page (a caller starts a new page for a table whose header and first row
// do not fit). Rows are never split: one that does not fit in what is left goes to the next
// page, which repeats the header row; a row taller than a page stands alone on one. full: a new
// page's height; header: the header row's.
QVector<int> pageBreaks(const QVector<double> &rowHeights, double first, double full, double header);

} // namespace ReportLayout
