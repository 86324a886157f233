// Debug trace: diagnostic lines for developers, never shown to the user.
#pragma once

#include <kalvio/export.h>

#include <functional>
#include <string>

namespace kalvio {

/// Receives one trace message: the source file and line that wrote it and
/// the formatted text, which carries its own newline.
using TraceSink = std::function<void(const char* file, int line, const std::string& text)>;

/// Installs `sink` for every later trace message and returns the one it
/// replaces. While a sink is installed it receives every message. An empty
/// sink restores the default channel, which writes "file(line): text" to
/// standard error when the environment variable VARNEX_TRACE is set to
/// anything but "" or "0", and is silent otherwise.
KALVIO_API TraceSink set_trace_sink(TraceSink sink);

/// Formats a message printf-style and hands it to the trace channel.
KALVIO_API void trace(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kalvio

/// KALVIO_TRACE("finish maxflow\n"): writes to the trace channel with the
/// caller's file and line.
#define KALVIO_TRACE(...) ::kalvio::trace(__FILE__, __LINE__, __VA_ARGS__)
