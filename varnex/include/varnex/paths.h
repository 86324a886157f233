// File names the segmentation derives from the picture's path.
#pragma once

#include <string>

/// The picture's path up to the first dot of its file name: "dir/img.pgm"
/// gives "dir/img", also when a folder name holds a dot ("scan.v2/img.pgm"
/// gives "scan.v2/img") or the path starts with "./". A file name without a
/// dot, or starting with one, gives "unnamed".
std::string base_name_of(const std::string& path);

/// The region map of the picture with base name `base`: base + "_regions.bmp".
inline std::string regions_file_for(const std::string& base) { return base + "_regions.bmp"; }
/// Where the shown picture with base name `base` is saved: base + "_res.bmp".
inline std::string result_file_for(const std::string& base) { return base + "_res.bmp"; }
/// The region map beside the picture at `path`.
inline std::string regions_file_of(const std::string& path) { return regions_file_for(base_name_of(path)); }
/// Where the shown picture of the picture at `path` is saved.
inline std::string result_file_of(const std::string& path) { return result_file_for(base_name_of(path)); }

/// The message for a picture or region map at `path` that cannot be read:
/// "Can't open image PATH \n(it might be a type problem)".
std::string cant_open_image_message(const std::string& path);

/// Whether two paths name the same file, whatever their spelling ("./x",
/// "d/../x", absolute or relative) and the links on the way: two existing
/// files are the same when they are one file (device and inode, so hard
/// links count too); a name still to be created is compared by where it
/// would be made (its folder's canonical path and its name, after the links
/// its final name leads through).
bool names_same_file(const std::string& a, const std::string& b);
