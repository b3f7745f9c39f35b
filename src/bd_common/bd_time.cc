#include "bd_common/bd_time.h"

#include <sys/time.h>
#include <time.h>

namespace {

std::string FormatLocal(int64_t microseconds, const char *format) {
    time_t seconds = static_cast<time_t>(microseconds / 1000000);
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::string();
    }
    char buffer[64];
    size_t length = strftime(buffer, sizeof(buffer), format, &local);
    return std::string(buffer, length);
}

}  // namespace

BdTime BdTime::Now(Clock clock) {
    if (clock == kMonotonicClock) {
        struct timespec now;
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
            return BdTime(-1);
        }
        return BdTime(now.tv_sec * 1000000L + now.tv_nsec / 1000);
    }
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return BdTime(-1);
    }
    return BdTime(now.tv_sec * 1000000L + now.tv_usec);
}

std::string BdTime::ToDate() const {
    return FormatLocal(_microseconds, "%Y-%m-%d");
}

std::string BdTime::ToDatetime() const {
    return FormatLocal(_microseconds, "%Y-%m-%d %H:%M:%S");
}

std::string BdTime::ToLogDatetime() const {
    return FormatLocal(_microseconds, "%Y/%m/%d %H:%M:%S");
}
