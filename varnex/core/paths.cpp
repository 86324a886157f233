// Base names of pictures.
#include <varnex/paths.h>

std::string base_name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find('.', name);
    if (dot == std::string::npos || dot == name) return "unnamed";
    return path.substr(0, dot);
}
