#pragma once

#include "RunResume.h"

#include "ValueForm.h"
#include "ValueFormMeasurePower.h"

struct BenchSetup;
struct MeasurementSetup;

// The worker's parameter records of a setup's measurement, filled as the window fills them from
// its fields, so that a run from a setup and the same run from the window are the same run.
namespace SetupRecords {

ValueFormMeasurePower powerRecord(const BenchSetup &setup, const MeasurementSetup &measurement);
ValueForm spurRecord(const BenchSetup &setup, const MeasurementSetup &measurement);

// Whether a run of the setup records its instruments' identities ("store.identify"); unset, a
// setup with limits on any of its measurements does, being a test, and any other does not.
bool identifies(const BenchSetup &setup);

// The grid of a run's recorded setup, for going on with it: a run records one measurement.
bool resumeGrid(const QByteArray &setup, RunResume::Grid *grid, QString *why);

} // namespace SetupRecords
