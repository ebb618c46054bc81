#include "ReportLayout.h"

#include <numeric>

namespace ReportLayout {

QVector<double> columnWidths(const QVector<double> &natural, const QVector<bool> &wraps, double available,
                             double minimum)
{
    QVector<double> widths = natural;
    if (widths.isEmpty())
        return widths;
    double total = std::accumulate(widths.cbegin(), widths.cend(), 0.0);
    if (total <= available) {
        widths.last() += available - total;
        return widths;
    }
    // What the wrapping columns can give, in proportion to what each has above the minimum.
    double spare = 0;
    for (int i = 0; i < widths.size(); ++i)
        if (wraps.value(i) && widths.at(i) > minimum)
            spare += widths.at(i) - minimum;
    const double wanted = total - available;
    if (spare > 0) {
        const double share = qMin(1.0, wanted / spare);
        for (int i = 0; i < widths.size(); ++i)
            if (wraps.value(i) && widths.at(i) > minimum)
                widths[i] -= (widths.at(i) - minimum) * share;
        total = std::accumulate(widths.cbegin(), widths.cend(), 0.0);
    }
    if (total > available)
        for (double &w : widths)
            w *= available / total;
    return widths;
}

QVector<int> pageBreaks(const QVector<double> &rowHeights, double first, double full, double header)
{
    QVector<int> breaks;
    if (rowHeights.isEmpty())
        return breaks;
    breaks.append(0);
    double left = first - header;
    bool emptyPage = true;
    for (int i = 0; i < rowHeights.size(); ++i) {
        const double h = rowHeights.at(i);
        if (h > left && !emptyPage) {
            breaks.append(i);
            left = full - header;
        }
        left -= h;
        emptyPage = false;
    }
    return breaks;
}

} // namespace ReportLayout
