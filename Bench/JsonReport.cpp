#include "JsonReport.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace Vantrel::HolvaneApi::Bench {
namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string number(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

} // namespace

bool JsonReport::write(const std::string& path) const
{
    std::ostringstream out;
    out << "{\n  \"info\": {";
    for (size_t i = 0; i < _info.size(); ++i)
        out << (i ? ", " : "") << quoted(_info[i].first) << ": " << quoted(_info[i].second);
    out << "},\n  \"results\": [\n";
    for (size_t i = 0; i < _results.size(); ++i) {
        const BenchResult& r = _results[i];
        out << "    {\"name\": " << quoted(r.name) << ", \"group\": " << quoted(r.group)
            << ", \"unit\": " << quoted(r.unit) << ", \"samples\": " << r.samples
            << ", \"median_us\": " << number(r.median_us) << ", \"p99_us\": " << number(r.p99_us)
            << ", \"mean_us\": " << number(r.mean_us) << ", \"ops_per_s\": " << number(r.ops_per_s)
            << ", \"floor_median_us\": " << number(r.floor_median_us)
            << ", \"ratio_to_floor\": " << number(r.ratio_to_floor)
            << ", \"allocs_per_op\": " << (r.allocs_per_op < 0 ? std::string("null") : number(r.allocs_per_op))
            << ", \"errors\": " << r.errors << ", \"first_error\": " << r.first_error
            << ", \"value\": " << number(r.value) << ", \"value_unit\": " << quoted(r.value_unit)
            << ", \"note\": " << quoted(r.note) << "}" << (i + 1 < _results.size() ? "," : "") << "\n";
    }
    out << "  ]\n}\n";
    if (path.empty() || path == "-") {
        std::cerr << out.str();
        return true;
    }
    std::ofstream file(path, std::ios::trunc);
    file << out.str();
    return static_cast<bool>(file);
}

} // namespace Vantrel::HolvaneApi::Bench
