#pragma once

// Registers the measurement records with the meta-type system under their own names, so that
// they can travel through queued calls into the worker thread.
namespace MeasurementTypes {
void registerAll();
}
