#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tarvello {

// Prints "HH:mm:ss.SSS  text" (local time) to standard output and hands the line to
// the log sink, if one is installed. Callable from any thread; never waits on the sink.
void log(std::string_view text);

// Switches standard output to line buffering so lines from different threads never
// interleave within a line.
void setLineBufferedStdout();

// Installs the process's log sink. Only the first call takes effect; it is never removed.
void installLogSink(std::function<void(const std::string&)> sink);

// Extra observers of every line, called synchronously on the logging thread (tests
// and tools use them; the app installs the sink). Returns an id for removal.
// Once removeLogListener returns the listener is not running and is never called again.
// A listener must not log, nor add or remove listeners.
int addLogListener(std::function<void(const std::string&)> listener);
void removeLogListener(int id);

// The timestamp prefix for a given local time, exposed for tests: always 12 characters.
std::string formatLogTime(int hour, int minute, int second, int millisecond);

}  // namespace tarvello
