// Running one pass over a large picture in bands of rows side by side.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace kalvio::detail {

/// Threads for one pass over `pixels` pixels: one per processor, or the
/// number in KALVIO_THREADS when set, at most 8; but only for pictures of
/// `smallest` pixels (a megapixel) or more, where starting threads costs
/// little beside the work. The variable is read on every call, so that a
/// test can compare splits.
inline int band_threads(std::size_t pixels, std::size_t smallest = std::size_t{1} << 20) {
    if (pixels < smallest) return 1;
    int threads = static_cast<int>(std::thread::hardware_concurrency());
    if (const char* wanted = std::getenv("KALVIO_THREADS")) {
        const int n = std::atoi(wanted);
        if (n >= 1) threads = n;
    }
    return threads < 1 ? 1 : threads > 8 ? 8 : threads;
}

/// Runs part(begin, end) over [0, n) cut into `threads` pieces whose starts
/// are multiples of `unit`: the first piece on this thread, the others on
/// their own. A thread that cannot be started runs its piece here instead.
/// True when every piece succeeded. A pass whose pieces compute every
/// output from the input alone gives the same bits for every split.
template <class Part>
bool run_in_bands(int n, int unit, int threads, const Part& part) {
    const int units = (n + unit - 1) / unit;
    if (threads > units) threads = units;
    if (threads <= 1) return part(0, n);
    std::vector<char> ok(static_cast<std::size_t>(threads), 0);
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(threads));
    const auto bounds = [&](int t) {
        return std::min(n, static_cast<int>(static_cast<long long>(units) * t / threads) * unit);
    };
    for (int t = 1; t < threads; ++t) {
        try {
            workers.emplace_back([&, t] { ok[t] = part(bounds(t), bounds(t + 1)); });
        } catch (const std::system_error&) {
            ok[t] = part(bounds(t), bounds(t + 1));
        }
    }
    ok[0] = part(bounds(0), bounds(1));
    for (std::thread& worker : workers) worker.join();
    for (char done : ok)
        if (!done) return false;
    return true;
}

/// Runs part(begin, end) over [0, n) cut into pieces of `piece` items (the
/// last may be shorter), which `threads` threads, this one and threads - 1
/// others, take one at a time as they finish the one before: a thread that
/// another program slows takes fewer pieces, where run_in_bands would wait
/// for its fixed share. A thread that cannot be started leaves its pieces to
/// the others. True when every piece succeeded; after a failure the pieces
/// not yet taken are left. A pass whose pieces compute every output from the
/// input alone gives the same bits for every split.
template <class Part>
bool run_in_pieces(int n, int piece, int threads, const Part& part) {
    const int pieces = n / piece + (n % piece != 0);
    if (threads > pieces) threads = pieces;
    if (threads <= 1) return part(0, n);
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (int k = next++; k < pieces && !failed; k = next++) {
            const int begin = k * piece;
            if (!part(begin, n - begin < piece ? n : begin + piece)) failed = true;
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& worker : workers) worker.join();
    return !failed;
}

/// run_in_bands over the `rows` rows of a picture of `pixels` pixels, one
/// row at a time as the unit, with the thread count of band_threads. For
/// passes that cannot fail: part(begin, end) returns nothing.
template <class Part>
void run_rows_in_bands(int rows, std::size_t pixels, const Part& part) {
    run_in_bands(rows, 1, band_threads(pixels), [&](int begin, int end) {
        part(begin, end);
        return true;
    });
}

}  // namespace kalvio::detail
