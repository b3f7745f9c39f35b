#ifndef RT_TOOLS_RT_BENCH_RECORD_H_
#define RT_TOOLS_RT_BENCH_RECORD_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The result of one benchmark run as one machine-readable line: "rt_bench" followed by
// space-separated key=value pairs in the order they were added. Values never contain spaces
// (a message's spaces become underscores), so `awk`/`cut` and a one-line parser read it.
class RtBenchRecord {
  public:
    void Add(const std::string &key, const std::string &value);
    void Add(const std::string &key, int64_t value) { Add(key, std::to_string(value)); }
    // Fixed-point with the given number of decimals.
    void Add(const std::string &key, double value, int decimals);
    std::string Line() const;

    // The latency at fraction (0.5, 0.99) of the sorted values, or the largest for 1.0; 0 for
    // an empty set. Reorders values.
    static uint32_t Percentile(std::vector<uint32_t> *values, double fraction);

  private:
    std::vector<std::pair<std::string, std::string>> _fields;
};

#endif  // RT_TOOLS_RT_BENCH_RECORD_H_
