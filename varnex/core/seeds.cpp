// Seed file lines.
#include <varnex/seeds.h>

#include <algorithm>
#include <charconv>

namespace {

// A decimal integer filling all of `field`, with an optional sign.
bool parse_integer(std::string_view field, long long& value) {
    if (field.size() > 1 && field[0] == '+' && field[1] != '-') field.remove_prefix(1);
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return error == std::errc() && end == field.data() + field.size();
}

}  // namespace

std::string parse_seed_line(std::string_view line, long long* x, long long* y, long long* kind) {
    line = line.substr(0, line.find('#'));
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    long long value[3];
    int fields = 0;
    for (std::size_t at = line.find_first_not_of(kSpace); at != std::string_view::npos;
         at = line.find_first_not_of(kSpace, at)) {
        const std::size_t end = std::min(line.find_first_of(kSpace, at), line.size());
        if (fields == 3 || !parse_integer(line.substr(at, end - at), value[fields])) return "expected 'x y kind'";
        ++fields;
        at = end;
    }
    *kind = 0;
    if (fields == 0) return "";
    if (fields != 3) return "expected 'x y kind'";
    if (value[2] != 1 && value[2] != 2) return "kind must be 1 (object) or 2 (background)";
    *x = value[0];
    *y = value[1];
    *kind = value[2];
    return "";
}
