#ifndef BD_COMMON_BD_LOG_H_
#define BD_COMMON_BD_LOG_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_common/bd_gathered_output.h"
#include "bd_common/bd_mutex.h"
#include "bd_common/bd_second_text.h"
#include "bd_common/bd_time.h"

// Entry levels of WriteLocalLog; any other level writes nothing.
enum BdLogLevel {
    BD_LOG_DEBUG = 1,
    BD_LOG_WARN = 2,
    BD_LOG_ERROR = 3,
};

// The process's log writer: one text line per entry, appended to a day file
// <directory>/<name>/<name>-YYYY-MM-DD.log, echoed to standard error unless quiet, with day files
// older than the retention deleted as entries are written.
//
// The process uses the single instance of GetLogger, freed by FreeLogger; a test may own a logger
// of its own. Not copyable: it owns its day file's descriptor and the inotify descriptor watching
// its directory.
//
// Threads: SetClock and Init belong to start-up, before other threads write; after that every
// operation may be called from any thread. The lock _mutex guards the descriptor, the initialised
// flag, the directory, path and date fields, the remembered dates, the watch and the last scan's
// outcome; the name, describer, quiet flag, retention and clock are written only at start-up and
// read without it. Formatting happens outside the lock, each thread remembering the last time
// stamp it formatted, so lines land in the order threads take the lock.
//
// Gathering. An event loop writes a debug entry and a trace line per packet; one thread may ask
// for its lines to be held (GatherOnThisThread) and written once per loop turn (FlushGathered),
// one write per destination. Its error-level entries, its preformatted lines and every line of
// any other thread first write what is held and then themselves, at once, so every destination
// gets the same lines in the same order as when each was written at once; only the moment of
// writing moves. The day file change and the clean-up act at the same entries as ever: lines of
// a day that ended go to that day's file before the switch, and a flush runs the clean-up.
// That loop may also take over the directory watch (HandOverWatch): a change made to the
// directory from outside is then seen at the first flush after the loop's wait reported it, and
// a flush with nothing reported saves the read. _watchReported is an atomic any thread may set.
class BdLog {
  public:
    // The wall clock the logger reads; replaceable so tests can cross midnight without waiting.
    using Clock = std::function<BdTime()>;

    BdLog();
    ~BdLog();
    BdLog(const BdLog &) = delete;
    BdLog &operator=(const BdLog &) = delete;

    // The process's logger, created on first call; never null.
    static BdLog *GetLogger();
    // Closes and deletes the process's logger; the next GetLogger returns a new, uninitialised one.
    // Returns 1. Nobody may be using the old instance any more.
    static int FreeLogger();

    // Opens the log: 1 on success, 0 on failure or when already initialised. describer is not owned
    // and must outlive every later entry. quiet false echoes every line to standard error; days is
    // the retention of day files.
    int Init(const std::string &name, const std::string &directory, BdError *describer, bool quiet,
             int days);

    // Formats and writes one entry (level BdLogLevel). Returns 1 when written and the clean-up of
    // expired day files could read the directory, else 0. An empty file or function leaves out the
    // source location. Control characters in message are escaped (BdUtil::EscapeControlChars),
    // so every entry is exactly one line.
    int WriteLocalLog(int level, const std::string &message, int code, std::string file, int line,
                      std::string function);

    // Writes one preformatted line (a line feed is added) at once; same result as WriteLocalLog.
    int Write(const std::string &line);

    // Writes the parts of one line and a line feed to standard output and flushes it, keeping its
    // place among the entries' echo on standard error (the router's per-packet trace). Written
    // even while the log is not initialised.
    void WriteStdoutLine(std::initializer_list<std::string_view> parts);
    // Writes the parts of one line and a line feed to standard error at once, after whatever the
    // log holds (a low-level diagnostic that is no entry). Written even while the log is not
    // initialised.
    void WriteStderrLine(std::initializer_list<std::string_view> parts);

    // From now on the debug and warning entries and the standard output lines of the calling
    // thread are held until FlushGathered, or until a destination holds more than
    // BdGatheredOutput::kFlushBytes. Such an entry returns 1 unless it made the held lines due.
    // For the event-loop thread, which must flush before it sends what a turn queued and before
    // it waits; also looks at that moment whether standard output and error are one file.
    void GatherOnThisThread();
    // Writes what is held: 1, or 0 when standard error failed or the clean-up could not read the
    // directory. Cheap when nothing is held. Any thread.
    int FlushGathered();
    // Hands the directory watch to the gathering thread's event loop, which puts its descriptor in
    // its epoll set and calls WatchReported whenever it turns readable. From then on that thread's
    // clean-up checks read the watch only after a report: one system call less per loop turn. The
    // descriptor stays the logger's. Returns it, or -1 without a watch. The gathering thread, after
    // GatherOnThisThread; HandBackWatch when that loop stops.
    int HandOverWatch();
    void HandBackWatch();
    // The watch's descriptor became readable. Any thread.
    void WatchReported() { _watchReported.store(true, std::memory_order_release); }

    // Switches to the day file of today's date when it has changed; 1 when a day file is open.
    int CheckOrChangeLog();
    // Deletes day files of the cut-off date and older; 0 when the directory cannot be read.
    int ArchiveLog();
    // Task and system entries; the router writes neither.
    int TaskLog(int taskId, const std::string &taskName, int opcode, int code,
                const std::string &userName, const std::string &description);
    int SystemLog(int opcode, int code, const std::string &userName,
                  const std::string &description);

    // Replaces the wall clock. Call before the logger is shared between threads.
    void SetClock(Clock clock);

    // The day file currently written, empty while none is open.
    std::string GetFilePath();

  private:
    // What the last complete scan of the log directory left behind (see ArchiveLogLocked).
    struct ScanOutcome {
        bool clean = false;  // it deleted every expired file, with the directory watched
        std::string cutOffDate;
        std::string openFile;  // the day file it spared, empty when none was open
        dev_t device = 0;      // the directory the path named then
        ino_t inode = 0;
    };

    BdTime CurrentTime() const;
    // Writes a line that already ends in a line feed, or holds it when mayGather and the calling
    // thread gathers; the result of Write.
    int WriteEntry(const char *lineWithEnd, size_t size, bool mayGather);
    bool GatheringHereLocked() const { return _gatherThread == std::this_thread::get_id(); }
    int FlushLocked();
    // Builds the day file path from directory, name and stored date; returns 1.
    int CreateLogFileName();
    int OpenDayFileLocked();
    int CheckOrChangeLogLocked(const BdTime &now);
    int ArchiveLogLocked(const BdTime &now);
    // Date of the newest day file that has expired at now; valid until the next call.
    std::string_view CutOffDateLocked(const BdTime &now);
    // The day file a scan spares: the open one, or the empty string.
    const std::string &OpenFileLocked() const;
    // Reads every pending event of the directory watch; true when there was none. False without a
    // watch. On the gathering thread, once the watch is handed over, reads only after a report.
    bool WatchSilentLocked();
    // Points the watch at the directory the path names now.
    void WatchDirectoryLocked();
    // Deletes this logger's files named at or before the cut-off date's day file, sparing the open
    // one; 0 when the directory is unreadable. allDeleted tells whether every deletion succeeded.
    int DeleteExpiredLocked(std::string_view cutOffDate, bool *allDeleted);
    void CloseDayFileLocked();

    int _fd = -1;
    std::string _name;
    std::string _directory;  // the Init directory + "/" + name + "/"
    std::string _filePath;
    std::string _date;  // "%Y-%m-%d" of the open day file
    BdMutex _mutex;
    bool _quiet = false;
    bool _initialised = false;
    int _days = 0;
    BdError *_describer = nullptr;  // not owned
    Clock _clock;
    int _watchFd = -1;              // inotify instance of the log directory; -1 when unavailable
    int _watch = -1;                // its watch on the directory; -1 when none
    bool _watchHandedOver = false;  // the gathering thread's loop reports its events
    std::atomic<bool> _watchReported{false};  // set by that loop, taken by the next check
    ScanOutcome _lastScan;
    // Every entry checks today's date and the cut-off date, each of which changes only with the
    // second it is formatted from.
    BdSecondText _today{&BdTime::ToDate};
    BdSecondText _cutOff{&BdTime::ToDate};
    const uint64_t _serial;  // tells this logger's remembered time stamps from other loggers'
    std::thread::id _gatherThread;  // none until GatherOnThisThread
    BdGatheredOutput _gathered;
    bool _gatheredEntries = false;  // entries are held, not only standard output lines
    BdTime _gatheredTime;           // the clock when the last held entry was written

    static std::atomic<BdLog *> _log;
    static BdMutex _instance_mutex;
};

#endif  // BD_COMMON_BD_LOG_H_
