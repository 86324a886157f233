// Writing a file a user named without damaging what the name points at.
#include "support/output_file_p.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kalvio::detail {

namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1);
}

// An empty file beside `target` with the target's permissions and owner (or
// those a new file gets), or -1.
int create_temp_beside(const std::string& target, const struct stat* existing, std::string* temp_path) {
    std::string templ = target + ".XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    mode_t mode;
    if (existing) {
        mode = existing->st_mode & 07777;
        // Only root can give a file away; for anyone else this is a no-op
        // or fails harmlessly, and the file stays the writer's.
        if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid())
            (void)!::fchown(fd, existing->st_uid, existing->st_gid);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    *temp_path = name.data();
    return fd;
}

}  // namespace

std::string follow_links(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::vector<char> buffer(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return current;
        const std::string target(buffer.data(), static_cast<std::size_t>(n));
        current = target[0] == '/' ? target : folder_of(current) + target;
    }
    return current;
}

bool OutputFile::open(const char* path) {
    abort();
    m_bFailed = false;
    m_unsent = m_written = m_sent = 0;
    if (!path || !*path) {
        errno = ENOENT;
        return false;
    }
    const std::string target = follow_links(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and FIFOs are written in place; a FIFO without a reader
        // refuses at once instead of blocking.
        const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        m_fd = fd;
        m_target = target;
        return true;
    }
    if (exists) {
        // The same test a plain open for writing makes (permissions, a
        // read-only file system), without touching the file.
        const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return false;
        ::close(probe);
    }
    std::string temp;
    const int fd = create_temp_beside(target, exists ? &st : nullptr, &temp);
    if (fd < 0) return false;
    m_fd = fd;
    m_target = target;
    m_temp = temp;
    return true;
}

void OutputFile::wrote(std::size_t count) {
    if (m_temp.empty()) return;
    m_written += count;
    m_unsent += count;
    // A few megabytes at a time: large enough to be written in few requests,
    // small enough that most of the file is on its way before commit().
    constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;
    if (m_unsent < kWritebackBytes) return;
    // Only starts the writeback; whether it succeeds is fsync's to say.
    ::sync_file_range(m_fd, static_cast<off_t>(m_sent), static_cast<off_t>(m_written - m_sent),
                      SYNC_FILE_RANGE_WRITE);
    m_sent = m_written;
    m_unsent = 0;
}

bool OutputFile::commit() {
    if (m_fd < 0) return false;
    bool ok = !m_bFailed;
    if (m_temp.empty()) {
        ok = ::close(m_fd) == 0 && ok;
        m_fd = -1;
        return ok;
    }
    // Data must be on disk before the rename makes it the file of record.
    ok = ok && ::fsync(m_fd) == 0;
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
    if (ok) ok = ::rename(m_temp.c_str(), m_target.c_str()) == 0;
    if (!ok) ::unlink(m_temp.c_str());
    m_temp.clear();
    return ok;
}

void OutputFile::abort() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    m_temp.clear();
}

bool SafeOutput::create(const char* path) {
    abort();
    if (!m_file.open(path)) return false;
    // The stream gets a descriptor of its own, so closing it leaves the
    // file's own descriptor to OutputFile::commit().
    const int fd = ::fcntl(m_file.fd(), F_DUPFD_CLOEXEC, 0);
    m_fp = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!m_fp) {
        if (fd >= 0) ::close(fd);
        m_file.abort();
        return false;
    }
    return true;
}

bool SafeOutput::commit() {
    if (!m_fp) return false;
    const bool written = std::fflush(m_fp) == 0 && !std::ferror(m_fp);
    const bool closed = std::fclose(m_fp) == 0;
    m_fp = nullptr;
    if (!written || !closed) m_file.set_failed();
    return m_file.commit();
}

void SafeOutput::abort() {
    if (m_fp) std::fclose(m_fp);
    m_fp = nullptr;
    m_file.abort();
}

}  // namespace kalvio::detail
