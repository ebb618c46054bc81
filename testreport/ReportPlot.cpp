#include "ReportPlot.h"

#include "MeasurementPlot.h"
#include "ReportContent.h"

#include <QPainter>

void drawReportPlot(const ReportContent::Section &section, QPainter *painter, const QRectF &rect)
{
    MeasurementPlot plot;
    plot.resize(rect.size().toSize());
    plot.setLimits(section.limits, section.start, section.stop);
    plot.runStarted(section.measurement, section.pointsPerPass, section.passes);
    for (const MeasuredPoint &point : section.plotted)
        plot.addPoint(point);
    plot.render(painter, rect);
}
