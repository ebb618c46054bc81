#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class ExcelApplication;
class ExcelWorksheet;
class ExcelRange;

// Writes the measurement reports: one row per measured point appended to a workbook that is
// opened, written, saved and closed again for every point.
class ExcelWorker : public QObject
{
    Q_OBJECT

public:
    using ApplicationFactory = std::function<std::unique_ptr<ExcelApplication>()>;

    explicit ExcelWorker(QObject *parent = nullptr);
    ~ExcelWorker() override;

    // Replaces the spreadsheet application that startExcel creates (the report engine by default).
    void setApplicationFactory(ApplicationFactory factory);
    // Folder of the workbooks; the application's directory unless set.
    void setDirectory(const QString &directory);
    // Full native path of the workbook with this base name.
    QString workbookPath(const QString &name) const;

    void startExcel();
    void quitExcel();

    void writeFrequencySweepRow(const QString &name, const quint64 &pointIndex, double frequency,
                                double power, double synthesizerPower, double temperature);
    void writePowerStepRow(const QString &name, const quint64 &pointIndex, double frequency,
                           double power, double outputPower, double synthesizerPower,
                           double temperature);
    void writeSpurRow(const QString &name, const quint64 &pointIndex, double span, double bandwidth,
                      quint32 &peakCount, const QList<double> &frequencies,
                      const QList<double> &levels);

private:
    class Sheet;
    using Writer = std::function<void(Sheet &sheet, bool existed)>;

    // Appends through writer to the named workbook; a workbook that cannot be read or saved is
    // left as it is and the row goes to its "(recovered)" neighbour instead.
    void append(const QString &name, const Writer &writer);
    bool appendTo(const QString &path, const Writer &writer);
    // A power row: the values in columns A onwards, below the last used row (row 1 of a new
    // workbook at the first point of a run).
    void appendPowerRow(const QString &name, quint64 pointIndex, const QList<double> &values);

    ApplicationFactory factory;
    QString directory;
    std::unique_ptr<ExcelApplication> excelApplication;
};
