#include "MeasurementTypes.h"

#include "MeasuredPoint.h"
#include "RunJudgement.h"
#include "ValueForm.h"
#include "ValueFormMeasurePower.h"

namespace MeasurementTypes {

void registerAll()
{
    qRegisterMetaType<ValueFormMeasurePower>("ValueFormMeasurePower");
    qRegisterMetaType<ValueForm>("ValueForm");
    qRegisterMetaType<MeasuredPoint>("MeasuredPoint");
    qRegisterMetaType<RunJudgement>("RunJudgement");
}

} // namespace MeasurementTypes
