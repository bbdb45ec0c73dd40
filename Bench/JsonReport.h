#pragma once

#include "BenchStats.h"

#include <string>
#include <utility>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

// Collects results and writes them as one JSON document that report.py merges
// with the Python side's figures.
class JsonReport {
public:
    void add(const BenchResult& result) { _results.push_back(result); }
    void setInfo(const std::string& key, const std::string& value) { _info.emplace_back(key, value); }
    const std::vector<BenchResult>& results() const { return _results; }
    bool write(const std::string& path) const; // "" or "-" writes to stderr

private:
    std::vector<BenchResult> _results;
    std::vector<std::pair<std::string, std::string>> _info;
};

} // namespace Vantrel::HolvaneApi::Bench
