// The one way out for the plug-in's log lines: the host's log once bound, nowhere before.
#pragma once

#include <string>

namespace warpmender {

// Receives one log line. InitHSAccess points the sink at the host's
// hsLogText; until then, or with a null sink, lines are dropped.
using LogSink = int (*)(const char* text);

void set_log_sink(LogSink sink);

// The sink's answer; 0 when there is no sink.
int log_line(const char* text);
inline int log_line(const std::string& text) { return log_line(text.c_str()); }

// "warpmender > <text>"; a text too long for the host's 65,536-byte line is cut there.
int log_prefixed(const char* text);

}  // namespace warpmender
