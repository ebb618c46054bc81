#pragma once

#include "BenchSetup.h"

class QSettings;
class QWidget;

namespace Ui {
class MainWindow;
}

// The window's form and what is kept of it: a setup made from the fields and fields filled from
// a setup; every field of the form in the settings file between runs.
namespace SetupForm {

// The instruments and both measurement tabs; the tab that is shown is the one that runs, the
// other is kept with "run": false so that opening the setup gives the same form.
BenchSetup fromForm(const Ui::MainWindow &ui);

// What to save of a form that was filled from the setup opened, which left the form as before,
// and shows now: the setup opened with the fields edited since, so that what the form cannot
// show is kept as it was (a sequence, a second measurement of one kind, an instrument the setup
// leaves out, its store). The tab shown chooses what runs only in a setup that runs at most one
// measurement; a measurement the setup lacks is added when its tab was edited.
BenchSetup withEdits(const BenchSetup &opened, const BenchSetup &before, const BenchSetup &now);

// Fills the fields the setup names; the instrument sections it leaves out keep their fields.
// Only values are set: the caller brings the form's visible state in line (transport, grid and
// cycle choices). The HID device, which the window lists only after enumerating, is returned
// in *hidDevice for the caller to choose when it appears.
void toForm(const BenchSetup &setup, Ui::MainWindow &ui, QString *hidDevice);

// A measurement's limits in one line for the form: "upper 2 points, lower 2 points, relative to
// output, margin 0.5 dB", "max spur 3 points, carrier lower 2 points"; "none" without limits.
QString limitsText(const MeasurementLimits &limits, MeasurementSetup::Kind kind);

// Every input field of the form under "Form/<field>", except the power meter's address, which
// the window keeps under its own key, the RF and ALC boxes, which follow the instrument, and the
// unit's serial, which belongs to the unit on the bench and not to the next session.
void save(const QWidget *form, QSettings &settings);
// The fields saved before; a field missing from the settings keeps its value.
void restore(QWidget *form, const QSettings &settings);

} // namespace SetupForm
