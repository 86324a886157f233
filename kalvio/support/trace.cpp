// The debug trace channel.
#include <kalvio/trace.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace {

bool trace_enabled_by_environment() {
    static const bool enabled = [] {
        const char* value = std::getenv("VARNEX_TRACE");
        return value && *value && std::strcmp(value, "0") != 0;
    }();
    return enabled;
}

void default_sink(const char* file, int line, const std::string& text) {
    if (trace_enabled_by_environment()) std::fprintf(stderr, "%s(%d): %s", file, line, text.c_str());
}

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

kalvio::TraceSink& current_sink() {
    static kalvio::TraceSink sink = default_sink;
    return sink;
}

}  // namespace

namespace kalvio {

TraceSink set_trace_sink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    TraceSink previous = std::move(current_sink());
    current_sink() = sink ? std::move(sink) : TraceSink(default_sink);
    return previous;
}

void trace(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(args);

    TraceSink sink;
    {
        std::lock_guard<std::mutex> lock(sink_mutex());
        sink = current_sink();
    }
    sink(file ? file : "", line, text);
}

}  // namespace kalvio
