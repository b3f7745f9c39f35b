#ifndef BD_COMMON_BD_TIME_H_
#define BD_COMMON_BD_TIME_H_

#include <cstdint>
#include <string>

// A point in time as a signed count of microseconds: wall-clock time since the Unix epoch or a
// monotonic clock reading, depending on the clock it came from. A plain value, safe to copy and to
// use from any thread. The text forms use localtime_r and mean something only for wall-clock
// values.
class BdTime {
  public:
    enum Clock { kWallClock = 0, kMonotonicClock = 1 };

    BdTime() = default;
    explicit BdTime(long microseconds) : _microseconds(microseconds) {}

    // The current reading of the chosen clock; a value of -1 when the clock cannot be read.
    static BdTime Now(Clock clock = kWallClock);
    static BdTime Second(long seconds) { return BdTime(seconds * 1000000L); }

    long Microseconds() const { return _microseconds; }
    // Truncated toward zero.
    long ToSecond() const { return _microseconds / 1000000L; }
    std::string ToDate() const;         // "%Y-%m-%d"
    std::string ToDatetime() const;     // "%Y-%m-%d %H:%M:%S"
    std::string ToLogDatetime() const;  // "%Y/%m/%d %H:%M:%S"

  private:
    int64_t _microseconds = 0;
};

#endif  // BD_COMMON_BD_TIME_H_
