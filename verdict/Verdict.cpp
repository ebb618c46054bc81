#include "Verdict.h"

namespace {

bool sameMask(const LimitMask &a, const LimitMask &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a.at(i).frequency != b.at(i).frequency || a.at(i).level != b.at(i).level)
            return false;
    return true;
}

} // namespace

bool MeasurementLimits::operator==(const MeasurementLimits &other) const
{
    return present == other.present && sameMask(upper, other.upper) && sameMask(lower, other.lower)
           && relativeTo == other.relativeTo && sameMask(maxSpur, other.maxSpur) && margin == other.margin;
}

namespace Verdict {

QString text(Grade grade)
{
    switch (grade) {
    case Grade::None:
        break;
    case Grade::Pass:
        return QStringLiteral("PASS");
    case Grade::Marginal:
        return QStringLiteral("MARGINAL");
    case Grade::NoReading:
        return QStringLiteral("NO READING");
    case Grade::Fail:
        return QStringLiteral("FAIL");
    case Grade::Incomplete:
        return QStringLiteral("INCOMPLETE");
    }
    return QString();
}

Grade fromText(const QString &name)
{
    for (const Grade grade : {Grade::Pass, Grade::Marginal, Grade::NoReading, Grade::Fail, Grade::Incomplete})
        if (name == text(grade))
            return grade;
    return Grade::None;
}

Grade worst(Grade a, Grade b)
{
    return int(a) >= int(b) ? a : b;
}

} // namespace Verdict
