#ifndef BD_COMMON_BD_COUNTER_H_
#define BD_COMMON_BD_COUNTER_H_

#include <atomic>
#include <cstdint>

// A statistic with one writing thread and any number of readers on other threads. The writer adds
// with a relaxed load and store, so counting costs no locked instruction on a hot path; a reader
// sees a value that may be a moment old but is never torn. Two threads must never add to the same
// counter.
class BdCounter {
  public:
    void Add(uint64_t amount = 1) {
        _value.store(_value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    uint64_t Get() const { return _value.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> _value{0};
};

#endif  // BD_COMMON_BD_COUNTER_H_
