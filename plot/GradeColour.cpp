#include "GradeColour.h"

QColor gradeColour(Verdict::Grade grade)
{
    switch (grade) {
    case Verdict::Grade::Pass:
        return QColor(0x1b, 0x7e, 0x2f);
    case Verdict::Grade::Fail:
        return QColor(0xc6, 0x28, 0x28);
    case Verdict::Grade::Marginal:
    case Verdict::Grade::NoReading:
        return QColor(0xc7, 0x7c, 0x00);
    case Verdict::Grade::None:
    case Verdict::Grade::Incomplete:
        break;
    }
    return QColor(0x6e, 0x6e, 0x6e);
}
