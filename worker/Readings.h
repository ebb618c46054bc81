#pragma once

#include <QList>
#include <QString>

// Readings that may be no number (AnswerParsing::notANumber, a quiet NaN): their mean and their
// text on the window's labels.
namespace Readings {

// The mean of the values that are numbers; AnswerParsing::notANumber when none is.
double meanOfNumbers(const QList<double> &values);

// A reading as a label shows it: four significant digits, or an em dash when it is no number.
QString labelText(double reading);

} // namespace Readings
