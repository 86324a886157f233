// File names the segmentation derives from the picture's path.
#pragma once

#include <string>

/// The picture's path up to the first dot of its file name: "dir/img.pgm"
/// gives "dir/img", also when a folder name holds a dot ("scan.v2/img.pgm"
/// gives "scan.v2/img") or the path starts with "./". A file name without a
/// dot, or starting with one, gives "unnamed".
std::string base_name_of(const std::string& path);

/// base_name_of(path) + "_regions.bmp": the region map beside the picture.
inline std::string regions_file_of(const std::string& path) { return base_name_of(path) + "_regions.bmp"; }
/// base_name_of(path) + "_res.bmp": where the shown picture is saved.
inline std::string result_file_of(const std::string& path) { return base_name_of(path) + "_res.bmp"; }

/// Whether two paths name the same file, whatever their spelling ("./x",
/// "d/../x", absolute or relative) and the links on the way: two existing
/// files are the same when they are one file (device and inode, so hard
/// links count too); a name still to be created is compared by where it
/// would be made (its folder's canonical path and its name, after the links
/// its final name leads through).
bool names_same_file(const std::string& a, const std::string& b);
