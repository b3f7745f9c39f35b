#include "rt_server/rt_server_timeline.h"

#include <cstdio>
#include <cstdlib>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"

BD_LOG_SOURCE_FILE("rt_server_timeline");

RtServerTimeline g_rt_server_timeline;

void RtServerTimeline::Start() {
    const char *path = std::getenv(kVariable);
    if (_on || path == nullptr || *path == '\0') {
        return;
    }
    _path = path;
    _counts = std::make_unique<std::atomic<uint32_t>[]>(kSlots * kPoints);
    _startMicros = BdTime::Now(BdTime::kMonotonicClock).Microseconds();
    _on = true;
}

void RtServerTimeline::Add(Point point, uint32_t count) {
    const int64_t slot =
        (BdTime::Now(BdTime::kMonotonicClock).Microseconds() - _startMicros) / 1000;
    if (slot < kSlots) {
        _counts[slot * kPoints + point].fetch_add(count, std::memory_order_relaxed);
    }
}

bool RtServerTimeline::Write() {
    if (!_on) {
        return true;
    }
    FILE *file = std::fopen(_path.c_str(), "w");
    if (file == nullptr) {
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "cannot write the timeline to " + _path, "Write");
        return false;
    }
    for (int64_t slot = 0; slot < kSlots; ++slot) {
        uint32_t counts[kPoints];
        bool any = false;
        for (int point = 0; point < kPoints; ++point) {
            counts[point] = _counts[slot * kPoints + point].load(std::memory_order_relaxed);
            any = any || counts[point] != 0;
        }
        if (any) {
            std::fprintf(file, "%.3f %u %u %u %u %u\n",
                         static_cast<double>(_startMicros + slot * 1000) / 1e6, counts[0],
                         counts[1], counts[2], counts[3], counts[4]);
        }
    }
    const bool written = std::fclose(file) == 0;
    if (!written) {
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "cannot write the timeline to " + _path, "Write");
    }
    return written;
}
