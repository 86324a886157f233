// Seed files: lines of 'x y kind', as the command line and the application
// read and write them.
#pragma once

#include <string>
#include <string_view>

/// One line of a seed file: 'x y kind', x the column, y the row and kind 1
/// (object) or 2 (background), decimal numbers with an optional sign; '#'
/// starts a comment. Returns "" with *kind 0 for a blank or comment line,
/// "" with the three values for a seed, else the problem ("expected 'x y
/// kind'", "kind must be 1 (object) or 2 (background)").
std::string parse_seed_line(std::string_view line, long long* x, long long* y, long long* kind);
