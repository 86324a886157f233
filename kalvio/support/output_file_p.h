// The one way Kalvio writes a file that a user named.
#pragma once

#include <cstdio>
#include <string>

namespace kalvio::detail {

/// A file being written for a user. Every writer of the library goes
/// through it, so that writing can never damage what the name points at:
/// - a regular file (or a new name) is written to a temporary file in the
///   same folder and renamed into place by commit(), so the target is
///   either the old file or the whole new one;
/// - a symbolic link keeps pointing where it pointed: the file at the end
///   of the chain of links is the one replaced, in its own folder;
/// - an existing file the caller may not write is refused, as a plain open
///   for writing would refuse it (root may write a read-only file);
/// - a device or a FIFO is never replaced: it is written directly (a FIFO
///   only when a reader is waiting, so writing never blocks on it);
/// - a folder is refused.
/// The destructor discards a file that was not committed.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { abort(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    /// Prepares `path` for writing; false (errno set) when it cannot be
    /// written. The descriptor is close-on-exec and blocking.
    bool open(const char* path);
    int fd() const { return m_fd; }
    bool is_open() const { return m_fd >= 0; }
    /// Marks the data written so far as incomplete: commit() then fails.
    void set_failed() { m_bFailed = true; }
    /// Counts `count` bytes written to fd(). A replaced file's data starts
    /// on its way to the disk every few megabytes, while the writer goes
    /// on, so that commit() waits only for the last of it.
    void wrote(std::size_t count);
    /// Finishes the file: for a replaced file, syncs it and renames it into
    /// place; for a device, closes it. False, and nothing published, when
    /// any step or an earlier write failed.
    bool commit();
    /// Discards the file: a temporary is removed, a device just closed.
    void abort();

private:
    int m_fd = -1;
    bool m_bFailed = false;
    std::string m_target;  ///< the file that commit() replaces
    std::string m_temp;    ///< empty when writing directly
    std::size_t m_unsent = 0;   ///< bytes written since writeback was last started
    std::size_t m_written = 0;  ///< bytes written in all
    std::size_t m_sent = 0;     ///< of those, the ones whose writeback has started
};

/// An OutputFile written through a buffered FILE*.
class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput() { abort(); }
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    /// Prepares `path` as OutputFile::open does; false when it cannot.
    bool create(const char* path);
    FILE* fp() const { return m_fp; }
    /// Flushes and finishes the file; false (and nothing published) on any
    /// write error.
    bool commit();
    /// Discards the file.
    void abort();

private:
    OutputFile m_file;
    FILE* m_fp = nullptr;
};

/// Follows the chain of symbolic links that `path` ends in (at most 40)
/// and returns the name of the file at its end; a name that does not exist
/// yet is returned as it is. Links are resolved relative to their folder.
std::string follow_links(const std::string& path);

}  // namespace kalvio::detail
