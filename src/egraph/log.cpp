#include "egraph/log.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace veltrix::egraph {
namespace {

std::atomic<int> current_level{static_cast<int>(LogLevel::Off)};

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Error: return "ERROR";
    case LogLevel::Warn: return "WARN";
    case LogLevel::Info: return "INFO";
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Trace: return "TRACE";
    case LogLevel::Off: break;
  }
  return "OFF";
}

}  // namespace

void set_log_level(LogLevel level) { current_level.store(static_cast<int>(level), std::memory_order_relaxed); }

LogLevel log_level() { return static_cast<LogLevel>(current_level.load(std::memory_order_relaxed)); }

bool log_enabled(LogLevel level) {
  return level != LogLevel::Off && static_cast<int>(level) <= current_level.load(std::memory_order_relaxed);
}

void write_log(LogLevel level, std::string_view message) {
  if (!log_enabled(level)) return;
  std::string line = "[egraph ";
  line += level_name(level);
  line += "] ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace veltrix::egraph
