#include "MeasurementTypes.h"

#include "ValueForm.h"
#include "ValueFormMeasurePower.h"

namespace MeasurementTypes {

void registerAll()
{
    qRegisterMetaType<ValueFormMeasurePower>("ValueFormMeasurePower");
    qRegisterMetaType<ValueForm>("ValueForm");
}

} // namespace MeasurementTypes
