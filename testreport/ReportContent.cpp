#include "ReportContent.h"

#include "Corrections.h"
#include "FrequencyGrid.h"
#include "PathLoss.h"
#include "RunHistory.h"
#include "RunJudging.h"
#include "SetupFile.h"
#include "SpurEvaluation.h"

#include <QCryptographicHash>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace ReportContent {

QString number(double value, int decimals, bool sign)
{
    if (!std::isfinite(value))
        return QStringLiteral("–");
    QString text = QString::number(value, 'f', decimals);
    // A value that rounds to zero has no sign of its own: "-0.000" would read as a tiny negative.
    if (text.startsWith(QLatin1Char('-')) && QString::number(0.0, 'f', decimals) == text.mid(1))
        text = text.mid(1);
    if (sign && !text.startsWith(QLatin1Char('-')))
        text.prepend(QLatin1Char('+'));
    return text;
}

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" UTC")
                          : QStringLiteral("–");
}

namespace {

QString mhz(double value)
{
    // Up to the synthesizer's resolution, without trailing zeros.
    return std::isfinite(value) ? Verdict::decimalText(value, 6) : QStringLiteral("–");
}

double valueAt(const StoredPoint &point, int i)
{
    return i < point.values.size() ? point.values.at(i) : qQNaN();
}

// A point as the window drew it when it was measured: at the unit, judged as the run judged it.
MeasuredPoint measured(const StoredPoint &stored, double outputPower, double gridFrequency, bool fetched,
                       const MeasurementLimits &limits, double *spurAt)
{
    MeasuredPoint point;
    point.pass = stored.pass;
    point.number = stored.number;
    point.outputPower = outputPower;
    point.workbook = stored.workbook;
    *spurAt = qQNaN();
    if (stored.row == StoredPoint::Row::Spur) {
        point.spur = true;
        const SpurEvaluation peaks = SpurEvaluation::fromLists(
            stored.peakFrequencies.toList(), PathLoss::appliedToPeaks(stored.peakLevels.toList(), stored.peakCorrections));
        const int strongest = stored.peakCorrections.isEmpty() ? peaks.strongestOther() : peaks.strongestOther(peaks.levels);
        point.frequency = std::isfinite(gridFrequency) ? gridFrequency
                          : peaks.size() > 0          ? peaks.frequencies.at(0) / 1e6
                                                      : qQNaN();
        point.carrierLevel = peaks.size() > 0 ? peaks.levels.at(0) : qQNaN();
        point.correction = stored.peakCorrections.isEmpty() ? qQNaN() : stored.peakCorrections.at(0);
        point.hasSpur = strongest > 0;
        point.spurLevel = point.hasSpur ? peaks.levels.at(strongest) - point.carrierLevel : 0.0;
        if (point.hasSpur)
            *spurAt = peaks.frequencies.at(strongest) / 1e6;
        if (limits.present)
            point.judgement = Verdict::judgeSpur(limits, point.frequency, outputPower, point.carrierLevel, point.hasSpur,
                                                 point.spurLevel);
    } else {
        const bool step = stored.row == StoredPoint::Row::Step;
        point.frequency = valueAt(stored, 0);
        point.correction = stored.correction;
        point.reading = std::isnan(stored.correction) ? valueAt(stored, 1)
                                                      : Corrections::corrected(valueAt(stored, 1), stored.correction);
        if (step && std::isfinite(valueAt(stored, 2)))
            point.outputPower = valueAt(stored, 2);
        // The synthesizer's own reading, where the run asked for it.
        point.fetchedPower = valueAt(stored, step ? 3 : 2);
        point.fetched = fetched;
        if (limits.present)
            point.judgement = Verdict::judgePower(limits, point.frequency, point.outputPower, point.reading);
    }
    // The run's own judgement stands, with the limits and margin it recorded: a point read after
    // the synthesizer's link was lost was recorded without a reading at its frequency, whatever
    // it read, and a setup that cannot be read judges nothing again.
    const Verdict::Grade recorded = Verdict::fromText(stored.verdict);
    if (recorded == Verdict::Grade::None)
        return point;
    Verdict::Judgement &j = point.judgement;
    if (recorded == Verdict::Grade::NoReading && j.grade != recorded) {
        // What it read is not of its frequency: no value of it is judged.
        j.failure = QStringLiteral("not at its frequency: the synthesizer's connection was lost");
        j.value = j.limit = qQNaN();
    }
    j.grade = recorded;
    if (std::isfinite(stored.limitMargin) || recorded == Verdict::Grade::NoReading)
        j.margin = stored.limitMargin;
    if (std::isfinite(stored.limitUpper) || std::isfinite(stored.limitLower) || std::isfinite(stored.limitSpur)) {
        j.upper = stored.limitUpper;
        j.lower = stored.limitLower;
        j.spurLimit = stored.limitSpur;
    }
    if (!std::isfinite(j.value) && recorded != Verdict::Grade::NoReading) {
        // Not judged again: the value nearest to its limit, or furthest outside it, of those
        // the run judged.
        const double level = point.spur ? point.carrierLevel : point.reading;
        struct Check
        {
            double value, limit, inside;
            const char *failure;
        };
        const Check checks[] = {
            {level, j.upper, j.upper - level, "above the upper limit"},
            {level, j.lower, level - j.lower, "below the lower limit"},
            {point.spurLevel, j.spurLimit, point.hasSpur ? j.spurLimit - point.spurLevel : qQNaN(),
             "with a spur above the limit"},
        };
        const Check *nearest = nullptr;
        for (const Check &c : checks)
            if (std::isfinite(c.inside) && (!nearest || c.inside < nearest->inside))
                nearest = &c;
        if (nearest) {
            j.value = nearest->value;
            j.limit = nearest->limit;
            if (recorded == Verdict::Grade::Fail && j.failure.isEmpty())
                j.failure = QString::fromLatin1(nearest->failure);
        }
    }
    return point;
}

QString valueWithUnit(const MeasuredPoint &point)
{
    const Verdict::Judgement &j = point.judgement;
    const bool spurJudged = point.spur && point.hasSpur && j.value == point.spurLevel && std::isfinite(j.spurLimit);
    return std::isfinite(j.value) ? number(j.value, 3) + (spurJudged ? QStringLiteral(" dBc") : QStringLiteral(" dBm"))
                                  : QStringLiteral("–");
}

QString limitWithUnit(const MeasuredPoint &point)
{
    const Verdict::Judgement &j = point.judgement;
    const bool spurJudged = point.spur && point.hasSpur && j.value == point.spurLevel && std::isfinite(j.spurLimit);
    return std::isfinite(j.limit) ? number(j.limit, 3) + (spurJudged ? QStringLiteral(" dBc") : QStringLiteral(" dBm"))
                                  : QStringLiteral("–");
}

Table flaggedTable(const QVector<MeasuredPoint> &points)
{
    Table table;
    table.title = QStringLiteral("Points that did not pass");
    table.columns = QStringList{QStringLiteral("Pass"), QStringLiteral("Point"), QStringLiteral("Frequency, MHz"),
                                QStringLiteral("Value"), QStringLiteral("Limit"), QStringLiteral("By, dB"),
                                QStringLiteral("Verdict"), QStringLiteral("What")};
    table.numeric = {true, true, true, true, true, true, false, false};
    table.empty = QStringLiteral("Every point passed.");
    // The worst first: failed points, then those without a reading, then the marginal ones.
    for (const Verdict::Grade grade : {Verdict::Grade::Fail, Verdict::Grade::NoReading, Verdict::Grade::Marginal})
        for (const MeasuredPoint &p : points) {
            if (p.judgement.grade != grade)
                continue;
            QString what = p.judgement.failure;
            if (grade == Verdict::Grade::Marginal)
                what = QStringLiteral("inside its limits, within the margin");
            table.rows.append(QStringList{QString::number(p.pass), QString::number(p.number), mhz(p.frequency),
                                          valueWithUnit(p), limitWithUnit(p), number(p.judgement.margin, 3, true),
                                          Verdict::text(grade), what});
            table.grades.append(grade);
        }
    return table;
}

Table pointTable(const QVector<MeasuredPoint> &points, const QVector<double> &spurAt, bool spur, bool corrected,
                 bool judged)
{
    Table table;
    table.title = QStringLiteral("Every point");
    table.empty = QStringLiteral("The run recorded no point.");
    const auto column = [&table](const QString &title, bool numeric = true) {
        table.columns << title;
        table.numeric << numeric;
    };
    column(QStringLiteral("Pass"));
    column(QStringLiteral("Point"));
    column(QStringLiteral("Frequency, MHz"));
    column(QStringLiteral("Output, dBm"));
    if (spur) {
        if (corrected)
            column(QStringLiteral("Loss, dB"));
        column(QStringLiteral("Carrier, dBm"));
        column(QStringLiteral("Spur, dBc"));
        column(QStringLiteral("Spur at, MHz"));
    } else {
        column(QStringLiteral("Reading, dBm"));
        if (corrected) {
            column(QStringLiteral("Loss, dB"));
            column(QStringLiteral("At unit, dBm"));
        }
    }
    if (judged) {
        column(QStringLiteral("Lower, dBm"));
        column(QStringLiteral("Upper, dBm"));
        if (spur)
            column(QStringLiteral("Spur limit, dBc"));
        column(QStringLiteral("Margin, dB"));
        column(QStringLiteral("Verdict"), false);
    }
    table.rows.reserve(points.size());
    for (int i = 0; i < points.size(); ++i) {
        const MeasuredPoint &p = points.at(i);
        QStringList row{QString::number(p.pass), QString::number(p.number), mhz(p.frequency), number(p.outputPower, 2)};
        if (spur) {
            if (corrected)
                row << number(p.correction, 3);
            row << number(p.carrierLevel, 3) << (p.hasSpur ? number(p.spurLevel, 3) : QStringLiteral("–"))
                << mhz(spurAt.at(i));
        } else {
            const double read = std::isnan(p.correction) ? p.reading : p.reading - p.correction;
            row << number(read, 3);
            if (corrected)
                row << number(p.correction, 3) << number(p.reading, 3);
        }
        if (judged) {
            row << number(p.judgement.lower, 3) << number(p.judgement.upper, 3);
            if (spur)
                row << number(p.judgement.spurLimit, 3);
            row << number(p.judgement.margin, 3, true) << Verdict::text(p.judgement.grade);
        }
        table.rows.append(row);
        table.grades.append(p.judgement.grade == Verdict::Grade::Pass ? Verdict::Grade::None : p.judgement.grade);
    }
    return table;
}

Table troubleTable(const QList<RunTrouble> &troubles)
{
    Table table;
    table.title = QStringLiteral("Troubles");
    table.columns = QStringList{QStringLiteral("When (UTC)"), QStringLiteral("Instrument"), QStringLiteral("What")};
    table.numeric = {false, false, false};
    table.empty = QStringLiteral("None.");
    for (const RunTrouble &t : troubles) {
        table.rows.append(QStringList{t.when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), t.instrument, t.text});
        table.grades.append(Verdict::Grade::None);
    }
    return table;
}

// Each instrument's line with its *IDN? answer, where the run recorded one.
QString instrumentsText(const RunSummary &run)
{
    QMap<QString, QString> identities;
    QStringList unnamed; // answers recorded without their instrument's name
    for (const QString &line : run.identities.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon > 0)
            identities.insert(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
        else
            unnamed << QStringLiteral("*IDN? ") + line.trimmed();
    }
    QStringList lines;
    for (const QString &line : run.instruments.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString name = line.left(line.indexOf(QLatin1Char(':'))).trimmed();
        const QString identity = identities.take(name);
        lines << (identity.isEmpty() ? line : line + QStringLiteral("; *IDN? ") + identity);
    }
    for (auto it = identities.cbegin(); it != identities.cend(); ++it)
        lines << it.key() + QStringLiteral(": *IDN? ") + it.value();
    lines << unnamed;
    return lines.isEmpty() ? QStringLiteral("none recorded") : lines.join(QLatin1Char('\n'));
}

QString tablesText(const QList<RecordedTable> &tables)
{
    QStringList lines;
    for (const RecordedTable &t : tables)
        lines << QStringLiteral("%1: %2, %3, due %4\nSHA-256 %5")
                     .arg(t.path, t.source, t.interpolation,
                          t.due.isValid() ? t.due.toString(Qt::ISODate) : QStringLiteral("not given"), t.sha256);
    return lines.join(QLatin1Char('\n'));
}

QString rangeText(const MeasurementSetup &m, quint64 perPass)
{
    if (m.kind == MeasurementSetup::Kind::Power && m.oneFrequency)
        return QStringLiteral("%1 MHz").arg(Verdict::frequencyText(m.start));
    return QStringLiteral("%1 to %2 MHz, %3 point%4 a pass")
        .arg(Verdict::frequencyText(m.start), Verdict::frequencyText(m.stop), QString::number(perPass),
             perPass == 1 ? QString() : QStringLiteral("s"));
}

} // namespace

Section section(const RunSummary &run, const QList<StoredPoint> &points, const QList<StoredPass> &passes,
                const QList<RunTrouble> &troubles)
{
    Section s;
    s.measurement = run.measurement;
    const bool spur = run.measurement == QLatin1String("spur");
    s.title = QStringLiteral("Run %1: %2").arg(run.localId > 0 ? run.localId : run.id)
                  .arg(spur ? QStringLiteral("spurs") : QStringLiteral("power over frequency"));
    const SetupFile::Result setup = SetupFile::read(run.setup, QStringLiteral("the run's setup"));
    const bool known = setup.ok() && setup.setup.measurements.size() == 1;
    MeasurementSetup m = known ? setup.setup.measurements.first()
                               : MeasurementSetup::defaults(spur ? MeasurementSetup::Kind::Spur : MeasurementSetup::Kind::Power);
    FrequencyGrid grid = FrequencyGrid::derive(m.pointsMode, m.start, m.stop, m.points, m.step);
    s.pointsPerPass = m.kind == MeasurementSetup::Kind::Power && m.oneFrequency ? 1 : grid.count;
    if (known) {
        s.limits = m.limits;
        s.start = m.start;
        s.stop = m.oneFrequency ? m.start : m.stop;
    }

    QMap<int, double> powers;
    for (const StoredPass &p : passes)
        if (!powers.contains(p.pass))
            powers.insert(p.pass, p.outputPower);
    s.passes = powers.size();
    QVector<double> spurAt;
    s.plotted.reserve(points.size());
    bool corrected = !run.tables.isEmpty();
    for (const StoredPoint &stored : points) {
        const double gridFrequency = known && stored.number >= 1 && stored.number <= grid.count
                                         ? grid.at(stored.number - 1)
                                         : qQNaN();
        double at = qQNaN();
        s.plotted.append(measured(stored, powers.value(stored.pass, qQNaN()), spur ? gridFrequency : qQNaN(),
                                  known && m.fetchValues, s.limits, &at));
        spurAt.append(at);
        corrected = corrected || !std::isnan(s.plotted.last().correction);
        s.passes = qMax(s.passes, stored.pass);
    }
    if (!known && !s.plotted.isEmpty()) {
        s.start = s.plotted.first().frequency;
        s.stop = s.plotted.last().frequency;
    }

    // The run's verdict as recorded; its line from its points judged again as the run judged them.
    s.grade = Verdict::fromText(run.verdict.verdict);
    if (s.limits.present) {
        RunJudging judging;
        judging.begin(s.limits, spur, s.pointsPerPass);
        judging.earlier(points, passes, grid, run.verdict.unread);
        RunJudgement judged = judging.end(run.outcome == QLatin1String("finished"));
        judged.grade = s.grade == Verdict::Grade::None ? judged.grade : s.grade;
        s.verdictLine = judged.summary();
    }

    const auto fact = [&s](const QString &label, const QString &value) { s.facts.append(qMakePair(label, value)); };
    fact(QStringLiteral("Measurement"), (spur ? QStringLiteral("spurs, ") : QStringLiteral("power, "))
                                            + (known ? rangeText(m, s.pointsPerPass)
                                                     : QStringLiteral("its range not known: its setup cannot be read")));
    fact(QStringLiteral("Started"), utc(run.started));
    fact(QStringLiteral("Ended"), utc(run.ended));
    fact(QStringLiteral("How it ended"), run.outcome);
    fact(QStringLiteral("Points"), QStringLiteral("%1 in %2 pass%3")
                                       .arg(run.points)
                                       .arg(s.passes)
                                       .arg(s.passes == 1 ? QString() : QStringLiteral("es")));
    fact(QStringLiteral("Recorded by"), QStringLiteral("rfbench %1 on %2").arg(run.version, run.station));
    fact(QStringLiteral("Run"), QStringLiteral("%1 of store %2").arg(run.localId > 0 ? run.localId : run.id).arg(run.store));
    fact(QStringLiteral("Setup"), QStringLiteral("its %1 measurement\nSHA-256 %2")
                                      .arg(spur ? QStringLiteral("spur") : QStringLiteral("power"),
                                           QString::fromLatin1(QCryptographicHash::hash(run.setup, QCryptographicHash::Sha256).toHex())));
    fact(QStringLiteral("Instruments"), instrumentsText(run));
    if (!run.tables.isEmpty())
        fact(QStringLiteral("Correction tables"), tablesText(run.tables));
    if (!run.workbooks.isEmpty())
        fact(QStringLiteral("Workbooks"), run.workbooks.join(QLatin1Char('\n')));
    if (!run.note.isEmpty())
        fact(QStringLiteral("Note"), run.note);

    // Judged when its setup had limits or its points were recorded with verdicts.
    const bool judged = s.limits.present || std::any_of(points.cbegin(), points.cend(), [](const StoredPoint &p) {
                            return !p.verdict.isEmpty();
                        });
    if (judged) {
        s.tables.append(flaggedTable(s.plotted));
        // Points without a reading that left no row are in the run's count alone.
        if (s.grade != Verdict::Grade::Pass)
            s.tables.last().empty = QStringLiteral("No recorded point failed or was marginal.");
        if (run.verdict.unread > 0 && s.tables.last().rows.isEmpty())
            s.tables.last().empty += QStringLiteral(" %1 without a reading left no point in the record.")
                                         .arg(run.verdict.unread == 1 ? QStringLiteral("1 point")
                                                                      : QStringLiteral("%1 points").arg(run.verdict.unread));
    }
    s.tables.append(pointTable(s.plotted, spurAt, spur, corrected, judged));
    s.tables.append(troubleTable(troubles));
    return s;
}

Report report(const QVector<Section> &sections, const QList<RunSummary> &runs)
{
    Report r;
    r.sections = sections;
    QStringList units, operators, stations;
    for (const RunSummary &run : runs) {
        if (!run.unit.isEmpty() && !units.contains(run.unit))
            units << run.unit;
        if (!run.operatorName.isEmpty() && !operators.contains(run.operatorName))
            operators << run.operatorName;
        if (!run.station.isEmpty() && !stations.contains(run.station))
            stations << run.station;
    }
    r.title = units.isEmpty() ? QStringLiteral("Test report") : QStringLiteral("Test report: unit ") + units.join(QStringLiteral(", "));
    r.facts.append(qMakePair(QStringLiteral("Unit"), units.isEmpty() ? QStringLiteral("not given") : units.join(QStringLiteral(", "))));
    r.facts.append(qMakePair(QStringLiteral("Operator"), operators.isEmpty() ? QStringLiteral("not given") : operators.join(QStringLiteral(", "))));
    r.facts.append(qMakePair(QStringLiteral("Station"), stations.join(QStringLiteral(", "))));
    // A failure anywhere fails the unit; a run that did not reach its end leaves it incomplete.
    bool judged = false, failed = false, incomplete = false;
    Verdict::Grade worst = Verdict::Grade::None;
    for (const Section &s : sections) {
        if (s.grade == Verdict::Grade::None)
            continue;
        judged = true;
        failed = failed || s.grade == Verdict::Grade::Fail;
        incomplete = incomplete || s.grade == Verdict::Grade::Incomplete;
        if (s.grade != Verdict::Grade::Incomplete)
            worst = Verdict::worst(worst, s.grade);
    }
    if (judged)
        r.grade = failed ? Verdict::Grade::Fail : incomplete ? Verdict::Grade::Incomplete : worst;
    r.verdictWord = Verdict::text(r.grade);
    if (sections.size() == 1)
        r.verdictLine = sections.first().verdictLine;
    return r;
}

} // namespace ReportContent
