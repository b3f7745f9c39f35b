#ifndef RT_SERVER_RT_SERVER_TIMELINE_H_
#define RT_SERVER_RT_SERVER_TIMELINE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Where a handshake storm's time goes inside the router: how many connections were accepted,
// handshakes read, handed to the database writer, written by it, and answered (the answer queued
// on its connection), millisecond by millisecond.
//
// Off unless the environment variable RT_SERVER_TIMELINE names a file when the router starts;
// then the counts of the first kWindowSeconds are kept and written to that file when the router
// stops. Off, a point costs the test of a flag.
//
// Threads. Start and Write belong to the main thread, before the event loop and the writer's
// threads start and after they ended; Note may be called from any thread in between.
class RtServerTimeline {
  public:
    enum Point { kAccepted, kRead, kQueued, kWritten, kAnswered, kPoints };
    static constexpr int kWindowSeconds = 120;
    static constexpr const char *kVariable = "RT_SERVER_TIMELINE";

    // Switches the timeline on when RT_SERVER_TIMELINE is set, its clock starting now. Once.
    void Start();
    void Note(Point point, uint32_t count = 1) {
        if (_on) {
            Add(point, count);
        }
    }
    // Writes the file when on: one line for each millisecond that counted anything, its start in
    // seconds of CLOCK_MONOTONIC and the counts of the five points in the order of Point. false
    // when it cannot be written (an error entry says so).
    bool Write();

  private:
    static constexpr int64_t kSlots = int64_t{kWindowSeconds} * 1000;
    void Add(Point point, uint32_t count);

    bool _on = false;  // set by Start, before any other thread runs
    std::string _path;
    int64_t _startMicros = 0;                          // CLOCK_MONOTONIC
    std::unique_ptr<std::atomic<uint32_t>[]> _counts;  // kPoints per millisecond
};

extern RtServerTimeline g_rt_server_timeline;

#endif  // RT_SERVER_RT_SERVER_TIMELINE_H_
