// Binary files on POSIX descriptors, with atomic replacement on create.
#include <kalvio/file.h>

#include "support/output_file_p.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CFile::CFile() : m_hFile(-1), m_nFlags(0), m_bFailed(false), m_pOutput(nullptr) {}

CFile::~CFile() { Abort(); }

bool CFile::Open(const char* path, unsigned int flags) {
    Abort();
    if (!path || !*path) return false;
    const unsigned int access = flags & (modeWrite | modeReadWrite);
    if (access == (modeWrite | modeReadWrite)) return false;
    if ((flags & modeCreate) && access == modeRead) return false;

    m_strPath = path;
    m_nFlags = flags;
    m_bFailed = false;

    if ((flags & modeCreate) && !(flags & modeNoTruncate)) {
        // Written beside the target and renamed on Close, so the target is
        // either the old file or the complete new one.
        m_pOutput = new (std::nothrow) kalvio::detail::OutputFile;
        if (!m_pOutput) return false;
        if (!m_pOutput->open(path)) {
            delete m_pOutput;
            m_pOutput = nullptr;
            return false;
        }
        m_hFile = m_pOutput->fd();
        return true;
    }

    // Non-blocking, so that opening a FIFO never waits for its other end.
    int oflags = O_CLOEXEC | O_NONBLOCK;
    oflags |= access == modeWrite ? O_WRONLY : access == modeReadWrite ? O_RDWR : O_RDONLY;
    if (flags & modeCreate) oflags |= O_CREAT;
    m_hFile = ::open(path, oflags, 0666);
    if (m_hFile < 0) return false;
    struct stat st {};
    const bool usable = ::fstat(m_hFile, &st) == 0 && !S_ISDIR(st.st_mode) &&
                        (access != modeRead || S_ISREG(st.st_mode));
    if (!usable) {
        ::close(m_hFile);
        m_hFile = -1;
        return false;
    }
    ::fcntl(m_hFile, F_SETFL, ::fcntl(m_hFile, F_GETFL) & ~O_NONBLOCK);
    return true;
}

std::size_t CFile::Read(void* buffer, std::size_t count) {
    if (m_hFile < 0 || !buffer) return 0;
    char* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(m_hFile, out + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool CFile::Write(const void* buffer, std::size_t count) {
    // A file not open for writing refuses without harm; a missing buffer on
    // a writable file loses data, so it counts as a failed write.
    if (m_hFile < 0 || (m_nFlags & (modeWrite | modeReadWrite)) == 0) return false;
    if (count > 0 && !buffer) {
        m_bFailed = true;
        return false;
    }
    const char* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(m_hFile, in + done, count - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            m_bFailed = true;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    if (m_pOutput) m_pOutput->wrote(count);
    return true;
}

std::int64_t CFile::Seek(std::int64_t offset, SeekPosition from) {
    if (m_hFile < 0) return -1;
    const int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
    return ::lseek(m_hFile, offset, whence);
}

std::int64_t CFile::GetPosition() const {
    return m_hFile < 0 ? -1 : ::lseek(m_hFile, 0, SEEK_CUR);
}

std::int64_t CFile::GetLength() const {
    struct stat st {};
    if (m_hFile < 0 || ::fstat(m_hFile, &st) != 0) return -1;
    return st.st_size;
}

bool CFile::Close() {
    if (m_hFile < 0) return true;
    const int fd = m_hFile;
    m_hFile = -1;
    if (!m_pOutput) return ::close(fd) == 0 && !m_bFailed;
    if (m_bFailed) m_pOutput->set_failed();
    const bool ok = m_pOutput->commit();
    delete m_pOutput;
    m_pOutput = nullptr;
    if (!ok) m_bFailed = true;
    return ok;
}

void CFile::Abort() {
    if (m_pOutput) {
        m_pOutput->abort();
        delete m_pOutput;
        m_pOutput = nullptr;
    } else if (m_hFile >= 0) {
        ::close(m_hFile);
    }
    m_hFile = -1;
}
