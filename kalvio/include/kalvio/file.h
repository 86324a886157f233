// Binary files that report failure by their results.
#pragma once

#include <kalvio/export.h>

#include <cstdint>
#include <string>

namespace kalvio::detail {
class OutputFile;
}

/// A binary file. No operation throws: each reports failure by its result.
///
/// A file opened with modeCreate (and without modeNoTruncate) is written to a
/// temporary file in the same folder and renamed into place by Close() only
/// when every write succeeded, so a failed or abandoned write never replaces
/// a good file. A created file that is destroyed or Abort()ed without a
/// successful Close() leaves the folder as it was. A symbolic link keeps
/// pointing where it pointed (the file it leads to is replaced), a device
/// or FIFO is written in place and never replaced, and a file the caller
/// may not write is refused. Only regular files open for reading; nothing
/// ever blocks on a FIFO.
class KALVIO_API CFile {
public:
    enum OpenFlags : unsigned int {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile();
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    /// Opens `path` with a combination of OpenFlags. Returns false (and
    /// stays closed) when the file cannot be opened or the flags are invalid.
    bool Open(const char* path, unsigned int flags);

    /// Reads up to `count` bytes; returns how many were read (0 at the end,
    /// on error, or when the file is not open for reading).
    std::size_t Read(void* buffer, std::size_t count);

    /// Writes all `count` bytes; false on any failure. After a failure the
    /// file is marked failed and Close() of a created file will not publish it.
    bool Write(const void* buffer, std::size_t count);

    /// Moves the position; returns the new position, or -1 on failure.
    std::int64_t Seek(std::int64_t offset, SeekPosition from);
    std::int64_t GetPosition() const;
    /// Length in bytes, or -1 when closed.
    std::int64_t GetLength() const;

    /// Closes the file. For a created file: flushes it and renames it into
    /// place; false (and no file published) when any write failed or the
    /// rename did. Closing a closed file returns true.
    bool Close();
    /// Closes without publishing: a created file's temporary is removed.
    void Abort();

    bool IsOpen() const { return m_hFile >= 0; }
    /// True after a failed write.
    bool HasFailed() const { return m_bFailed; }
    const std::string& GetFilePath() const { return m_strPath; }

private:
    int m_hFile;
    unsigned int m_nFlags;
    bool m_bFailed;
    std::string m_strPath;
    kalvio::detail::OutputFile* m_pOutput;  ///< owned; set while a created file is pending
};
