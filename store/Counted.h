#pragma once

#include <QString>

// Counts as the program prints them: "1 row", "3 rows", "1 pass", "2 passes". Kept with the store,
// the lowest library of those that print counts (the front ends, the worker and the upload).
namespace Counted {

// The number and the noun, the noun in the plural unless the number is 1.
QString of(qint64 count, const char *noun);

} // namespace Counted
