#pragma once

#include "Verdict.h"

#include <QColor>

// What a grade is shown in, on screen and in reports: green, red, amber, grey.
QColor gradeColour(Verdict::Grade grade);
