// The e-graph engine's diagnostic log: one process-wide level that starts at Off.
//
// Nothing in the module raises the level, so in production no line is ever written; the checks
// stay so that a developer can turn the diagnostics on (in a test or a debugging session) with
// set_log_level(). Messages are built only after log_enabled() said yes, so a disabled line costs
// one relaxed atomic load.
#pragma once

#include <string_view>

namespace veltrix::egraph {

enum class LogLevel : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

void set_log_level(LogLevel level);
LogLevel log_level();

// True when a line of `level` would be written under the current level.
bool log_enabled(LogLevel level);

// Writes one message (possibly several lines) to standard error when `level` is enabled.
void write_log(LogLevel level, std::string_view message);

}  // namespace veltrix::egraph
