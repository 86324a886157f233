// Base names of pictures.
#include <varnex/paths.h>

#include <filesystem>
#include <sys/stat.h>
#include <system_error>

std::string base_name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find('.', name);
    if (dot == std::string::npos || dot == name) return "unnamed";
    return path.substr(0, dot);
}

std::string cant_open_image_message(const std::string& path) {
    return "Can't open image " + path + " \n(it might be a type problem)";
}

namespace {

// Where a file that does not exist yet would be created.
std::filesystem::path creation_place(const std::string& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path where = fs::absolute(file, ec);
    for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit on a chain of links
        const fs::path target = fs::read_symlink(where, ec);
        if (ec) break;
        where = target.is_absolute() ? target : where.parent_path() / target;
    }
    if (!where.has_filename() || where.filename() == "." || where.filename() == "..")
        return fs::weakly_canonical(where, ec);
    const fs::path folder = fs::weakly_canonical(where.parent_path(), ec);
    return (ec ? where.parent_path().lexically_normal() : folder) / where.filename();
}

}  // namespace

bool names_same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    const bool a_exists = ::stat(a.c_str(), &sa) == 0;
    const bool b_exists = ::stat(b.c_str(), &sb) == 0;
    if (a_exists != b_exists) return false;
    if (a_exists) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return creation_place(a) == creation_place(b);
}
