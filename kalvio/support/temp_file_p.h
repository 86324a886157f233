// Temporary files that replace a target file by rename.
#pragma once

#include <string>

namespace kalvio::detail {

/// Creates an empty temporary file beside `target` with the permissions the
/// target has, or those a new file gets under the umask, and returns its
/// descriptor (close-on-exec), its name in *temp_path; -1 when the folder
/// cannot take it.
int create_temp_beside(const std::string& target, std::string* temp_path);

}  // namespace kalvio::detail
