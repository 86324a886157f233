// Internals shared by the graph's construction and its maximum flow.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace graph_detail {

/// Hands `message` to the caller's callback, when there is one, and ends the
/// process with status 1.
[[noreturn]] inline void fatal(void (*error_fn)(const char*), const char* message) {
    if (error_fn) error_fn(message);
    std::exit(1);
}

/// Reports a broken precondition or invariant, naming the condition and the
/// unit, and aborts.
[[noreturn]] inline void assertion_failed(const char* condition, const char* unit) {
    std::fprintf(stderr, "Assertion failed: %s (%s)\n", condition, unit);
    std::abort();
}

}  // namespace graph_detail

// Preconditions: checked in debug builds only. The message quotes the
// condition as spelled at the call site, so that spelling is fixed text.
#ifdef NDEBUG
#define GRAPH_REQUIRE(condition, unit) ((void)0)
#else
#define GRAPH_REQUIRE(condition, unit) \
    ((condition) ? (void)0 : graph_detail::assertion_failed(#condition, unit))
#endif

// Invariants of check_consistency: checked whenever it is called.
#define GRAPH_CHECK(condition) \
    ((condition) ? (void)0 : graph_detail::assertion_failed(#condition, "maxflow"))
