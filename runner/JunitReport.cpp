#include "JunitReport.h"

#include <QStringList>
#include <QXmlStreamWriter>

#include <cmath>

namespace JunitReport {

namespace {

// Two decimals at most, as the verdict's own lines give them; "?" for no number.
QString number(double value)
{
    return std::isfinite(value) ? Verdict::decimalText(value, 2) : QStringLiteral("?");
}

enum class Outcome { Passed, Failure, Error, Skipped };

Outcome outcomeOf(const Case &c)
{
    if (c.tally.grade == Verdict::Grade::Fail)
        return Outcome::Failure; // a failed unit stays failed, however far the pass went
    if (!c.skipped.isEmpty() || c.tally.grade == Verdict::Grade::None)
        return Outcome::Skipped;
    return c.tally.grade == Verdict::Grade::NoReading ? Outcome::Error : Outcome::Passed;
}

QString failureMessage(const Case &c)
{
    QStringList points;
    for (const Verdict::Tally::Failure &f : c.tally.firstFailures)
        points << QStringLiteral("%1 at %2 MHz").arg(f.number).arg(Verdict::frequencyText(f.frequency));
    QString message = QStringLiteral("%1 failed: %2 %3")
                          .arg(c.tally.failed == 1 ? QStringLiteral("1 point") : QStringLiteral("%1 points").arg(c.tally.failed),
                               points.size() == 1 ? QStringLiteral("point") : QStringLiteral("points"),
                               points.join(QStringLiteral(", ")));
    if (c.tally.failed > points.size())
        message += QStringLiteral(" and %1 more").arg(c.tally.failed - points.size());
    return message;
}

} // namespace

QString failureLine(const Verdict::Tally::Failure &failure, bool spur)
{
    const Verdict::Judgement &j = failure.judgement;
    // A spur measurement's spur limit is in dBc; its carrier limits and a power reading in dBm.
    const QString unit = spur && j.limit == j.spurLimit ? QStringLiteral("dBc") : QStringLiteral("dBm");
    QString line = QStringLiteral("point %1 at %2 MHz: ").arg(failure.number).arg(Verdict::frequencyText(failure.frequency));
    if (!std::isfinite(j.limit))
        return line + QStringLiteral("%1 %2 %3").arg(number(j.value), unit, j.failure);
    return line + QStringLiteral("%1 %2, %3 (limit %4 %2, by %5 dB)")
                      .arg(number(j.value), unit, j.failure, number(j.limit), number(j.value - j.limit));
}

bool isReport(const QByteArray &start)
{
    QByteArray text = start.startsWith("\xEF\xBB\xBF") ? start.mid(3) : start;
    text = text.trimmed();
    if (!text.startsWith("<?xml"))
        return false;
    // The root is the first element after the declaration and any comments.
    int at = text.indexOf("?>");
    while (at >= 0) {
        at = text.indexOf('<', at);
        if (at < 0 || !text.mid(at).startsWith("<!--"))
            break;
        at = text.indexOf("-->", at);
    }
    if (at < 0)
        return false;
    const QByteArray root = text.mid(at);
    return root.startsWith("<testsuites") || root.startsWith("<testsuite");
}

QByteArray write(const QVector<Suite> &suites)
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    int allTests = 0;
    int allFailures = 0;
    int allErrors = 0;
    int allSkipped = 0;
    for (const Suite &suite : suites)
        for (const Case &c : suite.cases) {
            ++allTests;
            const Outcome o = outcomeOf(c);
            allFailures += o == Outcome::Failure;
            allErrors += o == Outcome::Error;
            allSkipped += o == Outcome::Skipped;
        }
    xml.writeAttribute(QStringLiteral("tests"), QString::number(allTests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(allFailures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(allErrors));
    xml.writeAttribute(QStringLiteral("skipped"), QString::number(allSkipped));
    for (int s = 0; s < suites.size(); ++s) {
        const Suite &suite = suites.at(s);
        int failures = 0;
        int errors = 0;
        int skipped = 0;
        for (const Case &c : suite.cases) {
            const Outcome o = outcomeOf(c);
            failures += o == Outcome::Failure;
            errors += o == Outcome::Error;
            skipped += o == Outcome::Skipped;
        }
        xml.writeStartElement(QStringLiteral("testsuite"));
        xml.writeAttribute(QStringLiteral("name"), suite.name);
        xml.writeAttribute(QStringLiteral("id"), QString::number(s));
        xml.writeAttribute(QStringLiteral("tests"), QString::number(suite.cases.size()));
        xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
        xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
        xml.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
        xml.writeAttribute(QStringLiteral("time"), QString::number(suite.seconds, 'f', 3));
        // The schema's dateTime without a zone: the station's local time.
        xml.writeAttribute(QStringLiteral("timestamp"), suite.timestamp.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        xml.writeAttribute(QStringLiteral("hostname"), suite.hostname);
        xml.writeStartElement(QStringLiteral("properties"));
        for (const auto &property : suite.properties) {
            xml.writeStartElement(QStringLiteral("property"));
            xml.writeAttribute(QStringLiteral("name"), property.first);
            xml.writeAttribute(QStringLiteral("value"), property.second);
            xml.writeEndElement();
        }
        xml.writeEndElement();
        for (const Case &c : suite.cases) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), c.classname);
            xml.writeAttribute(QStringLiteral("name"), c.name);
            xml.writeAttribute(QStringLiteral("time"), QStringLiteral("0"));
            QStringList lines;
            for (const Verdict::Tally::Failure &f : c.tally.firstFailures)
                lines << failureLine(f, c.spur);
            switch (outcomeOf(c)) {
            case Outcome::Failure:
                xml.writeStartElement(QStringLiteral("failure"));
                xml.writeAttribute(QStringLiteral("message"), failureMessage(c));
                xml.writeAttribute(QStringLiteral("type"), Verdict::text(Verdict::Grade::Fail));
                xml.writeCharacters(c.tally.summary() + QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
                xml.writeEndElement();
                break;
            case Outcome::Error:
                xml.writeStartElement(QStringLiteral("error"));
                xml.writeAttribute(QStringLiteral("message"), c.tally.summary());
                xml.writeAttribute(QStringLiteral("type"), Verdict::text(Verdict::Grade::NoReading));
                xml.writeEndElement();
                break;
            case Outcome::Skipped:
                xml.writeStartElement(QStringLiteral("skipped"));
                xml.writeAttribute(QStringLiteral("message"),
                                   c.skipped.isEmpty() ? QStringLiteral("no limits: not judged") : c.skipped);
                xml.writeEndElement();
                break;
            case Outcome::Passed:
                if (c.tally.grade == Verdict::Grade::Marginal)
                    xml.writeTextElement(QStringLiteral("system-out"), c.tally.summary());
                break;
            }
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

} // namespace JunitReport
