// The log sink: a pointer the binding sets, and the plug-in's prefixed line.
#include "hostlink/log_sink.h"

#include <cstdio>
#include <vector>

namespace warpmender {
namespace {
LogSink sink = nullptr;
}  // namespace

void set_log_sink(LogSink s) { sink = s; }

int log_line(const char* text) { return sink != nullptr ? sink(text != nullptr ? text : "") : 0; }

int log_prefixed(const char* text) {
    constexpr size_t kLineSize = 65536;
    static thread_local std::vector<char> line(kLineSize);
    std::snprintf(line.data(), kLineSize, "warpmender > %s", text != nullptr ? text : "");
    return log_line(line.data());
}

}  // namespace warpmender
