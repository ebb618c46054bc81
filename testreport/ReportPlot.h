#pragma once

class QPainter;
class QRectF;
namespace ReportContent {
struct Section;
}

// Draws a run's plot as the window's live plot draws it while the run measures: the same
// curves, masks, margins and marks, as vector graphics.
void drawReportPlot(const ReportContent::Section &section, QPainter *painter, const QRectF &rect);
