#include "rt_tools/rt_bench_record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void RtBenchRecord::Add(const std::string &key, const std::string &value) {
    std::string clean = value.empty() ? "-" : value;
    std::replace(clean.begin(), clean.end(), ' ', '_');
    _fields.emplace_back(key, clean);
}

void RtBenchRecord::Add(const std::string &key, double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    Add(key, std::string(text));
}

std::string RtBenchRecord::Line() const {
    std::string line = "rt_bench";
    for (const auto &field : _fields) {
        line += " " + field.first + "=" + field.second;
    }
    return line;
}

uint32_t RtBenchRecord::Percentile(std::vector<uint32_t> *values, double fraction) {
    if (values->empty()) {
        return 0;
    }
    const size_t last = values->size() - 1;
    const size_t at = std::min(
        last, static_cast<size_t>(std::ceil(fraction * values->size())) - (fraction > 0 ? 1 : 0));
    std::nth_element(values->begin(), values->begin() + at, values->end());
    return (*values)[at];
}
