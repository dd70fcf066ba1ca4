// WriteLog: the daily diagnostic log. One call appends one whole,
// time-stamped line "[MM/DD-hh:mm:ss.mmm] message" to RECClient-MMDD.log in
// the log folder; the file is opened and closed for every line, every line
// feed is written as CR LF, and a line that cannot be written is dropped
// without a report. Callers on any thread; calls are serialised by the
// writer's own lock, so every line reaches the file whole.
//
// The format is always a literal of our own: no host or server text is
// ever used as a format (pass it as a "%s" argument).
#pragma once

#include <cstdarg>
#include <string>

#include "common/Texts.h"

namespace tessor {

constexpr int LOG_BUFFER_SIZE = 4096;

void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void WriteLogV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// A table text without arguments.
void WriteLogText(TextId id);
// A table text that expects one number (the refusal messages).
void WriteLogText(TextId id, int n);

// The path the line of this moment would go to (tests and tools).
std::string CurrentLogPath();

}  // namespace tessor
