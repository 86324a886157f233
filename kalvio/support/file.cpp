// Binary files on POSIX descriptors, with atomic replacement on create.
#include <kalvio/file.h>

#include "support/temp_file_p.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kalvio::detail {

int create_temp_beside(const std::string& target, std::string* temp_path) {
    std::string templ = target + ".XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    *temp_path = name.data();
    return fd;
}

}  // namespace kalvio::detail

CFile::CFile() : m_hFile(-1), m_nFlags(0), m_bFailed(false) {}

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
        // Write beside the target and rename on Close, so the target is
        // either the old file or the complete new one.
        const int fd = kalvio::detail::create_temp_beside(m_strPath, &m_strTempPath);
        if (fd < 0) return false;
        m_hFile = fd;
        return true;
    }

    int oflags = O_CLOEXEC;
    oflags |= access == modeWrite ? O_WRONLY : access == modeReadWrite ? O_RDWR : O_RDONLY;
    if (flags & modeCreate) oflags |= O_CREAT;
    m_hFile = ::open(path, oflags, 0666);
    if (m_hFile < 0) return false;
    struct stat st {};
    if (::fstat(m_hFile, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(m_hFile);
        m_hFile = -1;
        return false;
    }
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
    if (m_strTempPath.empty()) {
        const bool ok = ::close(m_hFile) == 0 && !m_bFailed;
        m_hFile = -1;
        return ok;
    }
    // Data must be on disk before the rename makes it the file of record.
    bool ok = !m_bFailed && ::fsync(m_hFile) == 0;
    ok = ::close(m_hFile) == 0 && ok;
    m_hFile = -1;
    if (ok) ok = ::rename(m_strTempPath.c_str(), m_strPath.c_str()) == 0;
    if (!ok) ::unlink(m_strTempPath.c_str());
    m_strTempPath.clear();
    if (!ok) m_bFailed = true;
    return ok;
}

void CFile::Abort() {
    if (m_hFile >= 0) ::close(m_hFile);
    m_hFile = -1;
    if (!m_strTempPath.empty()) ::unlink(m_strTempPath.c_str());
    m_strTempPath.clear();
}
