#pragma once

// What the command-line front ends write to the console.
namespace ConsoleOutput {

// Standard error carries the command's own messages: the debug lines of the worker, the drivers
// and the store stay out of them; warnings and errors still come through.
void keepDebugLinesOut();

} // namespace ConsoleOutput
