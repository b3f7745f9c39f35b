#include "bd_common/bd_log.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <type_traits>

#include "bd_common/bd_file.h"
#include "bd_common/bd_util.h"

namespace {

const long kSecondsPerDay = 86400;

// Everything that can give a scan of the log directory something new to delete or change whether
// it can be read: a name created, linked or moved in, a permission change, the directory itself
// removed or moved. Deletions only take candidates away.
const uint32_t kDirectoryEvents =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

std::atomic<uint64_t> g_next_serial{1};

// The time stamp of the last entry this thread formatted, so that formatting needs no lock. It
// belongs to one logger at a time: a logger made after the zone changed starts afresh.
struct StampMemo {
    uint64_t logger = 0;
    BdSecondText text{&BdTime::ToLogDatetime};
};
thread_local StampMemo t_stamp;
static_assert(std::is_trivially_destructible<StampMemo>::value,
              "entries written while the thread's objects are destroyed still find it intact");

// An entry line under construction: on the stack while it is short, as nearly every one is, so
// that an entry costs no allocation.
class EntryText {
  public:
    EntryText() = default;
    EntryText(const EntryText &) = delete;
    EntryText &operator=(const EntryText &) = delete;

    void Append(std::string_view part) {
        if (!_onHeap && part.size() <= sizeof(_stack) - _length) {
            memcpy(_stack + _length, part.data(), part.size());
            _length += part.size();
            return;
        }
        if (!_onHeap) {
            _heap.reserve(_length + part.size() + sizeof(_stack));
            _heap.assign(_stack, _length);
            _onHeap = true;
        }
        _heap.append(part.data(), part.size());
    }
    void Append(char c) { Append(std::string_view(&c, 1)); }

    const char *Data() const { return _onHeap ? _heap.data() : _stack; }
    size_t Size() const { return _onHeap ? _heap.size() : _length; }

  private:
    char _stack[512];
    size_t _length = 0;
    bool _onHeap = false;
    std::string _heap;
};

}  // namespace

std::atomic<BdLog *> BdLog::_log{nullptr};
BdMutex BdLog::_instance_mutex;

BdLog::BdLog()
    : _clock([] { return BdTime::Now(BdTime::kWallClock); }),
      _serial(g_next_serial.fetch_add(1, std::memory_order_relaxed)) {}

BdLog::~BdLog() {
    FlushLocked();
    CloseDayFileLocked();
    if (_watchFd >= 0) {
        close(_watchFd);
    }
}

BdLog *BdLog::GetLogger() {
    BdLog *log = _log.load(std::memory_order_acquire);
    if (log != nullptr) {
        return log;
    }
    BdMutexLocker locker(_instance_mutex);
    log = _log.load(std::memory_order_relaxed);
    if (log == nullptr) {
        log = new BdLog();
        _log.store(log, std::memory_order_release);
    }
    return log;
}

int BdLog::FreeLogger() {
    BdMutexLocker locker(_instance_mutex);
    delete _log.exchange(nullptr);
    return 1;
}

void BdLog::SetClock(Clock clock) {
    BdMutexLocker locker(_mutex);
    _clock = std::move(clock);
}

std::string BdLog::GetFilePath() {
    BdMutexLocker locker(_mutex);
    return _fd >= 0 ? _filePath : std::string();
}

BdTime BdLog::CurrentTime() const {
    return _clock();
}

int BdLog::Init(const std::string &name, const std::string &directory, BdError *describer,
                bool quiet, int days) {
    BdMutexLocker locker(_mutex);
    if (_initialised || directory.empty() || name.empty() || describer == nullptr) {
        return 0;
    }
    _days = days;
    _describer = describer;
    _name = name;
    _directory = directory + "/" + name + "/";
    BdTime now = CurrentTime();
    _date = _today.Of(now.ToSecond());
    if (OpenDayFileLocked() == 0) {
        _directory.clear();
        _filePath.clear();
        _date.clear();
        return 0;
    }
    _quiet = quiet;
    _initialised = true;
    _watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ArchiveLogLocked(now);
    return 1;
}

int BdLog::CreateLogFileName() {
    _filePath = _directory + _name + "-" + _date + ".log";
    return 1;
}

// Opens the day file of _date for appending, creating the log directory again if it has gone
// meanwhile. 1 when the descriptor is valid.
int BdLog::OpenDayFileLocked() {
    CreateLogFileName();
    if (BdFile::FileExist(_directory) != 0) {
        BdFile::CreateDir(_directory);
    }
    if (BdFile::FileExist(_filePath) != 0) {
        BdFile::CreatFile(_filePath);
    }
    _fd = BdFile::OpenFile(_filePath, BdFile::kWriteOnlyCreateAppend);
    if (BdFile::FileHandleCheck(_fd) == 0) {
        CloseDayFileLocked();
        return 0;
    }
    BdFile::SeekEnd(_fd);
    return 1;
}

void BdLog::CloseDayFileLocked() {
    if (_fd >= 0) {
        BdFile::CloseFile(_fd);
        _fd = -1;
    }
}

int BdLog::WriteLocalLog(int level, const std::string &message, int code, std::string file,
                         int line, std::string function) {
    if (level < BD_LOG_DEBUG || level > BD_LOG_ERROR || message.empty()) {
        return 0;
    }
    StampMemo &stamp = t_stamp;
    if (stamp.logger != _serial) {
        stamp.logger = _serial;
        stamp.text.Forget();
    }
    EntryText entry;
    entry.Append(stamp.text.Of(CurrentTime().ToSecond()));
    entry.Append(' ');
    entry.Append(_name);
    if (level == BD_LOG_DEBUG) {
        entry.Append(" [DEBUG]: ");
    } else {
        entry.Append(level == BD_LOG_WARN ? " [WARN:" : " [ERROR:");
        entry.Append(std::to_string(code));
        if (_describer != nullptr) {
            entry.Append('#');
            entry.Append(_describer->GetDescription(code));
        }
        entry.Append("]: ");
    }
    // Messages carry peer-supplied text (UUIDs, host names); an entry stays one line whatever
    // they hold.
    if (BdUtil::HasControlChars(message)) {
        entry.Append(BdUtil::EscapeControlChars(message));
    } else {
        entry.Append(message);
    }
    entry.Append(". ");
    if (!file.empty()) {
        entry.Append(file);
        entry.Append(':');
        entry.Append(std::to_string(line));
    }
    if (!function.empty()) {
        entry.Append(':');
        entry.Append(function);
    }
    entry.Append('\n');
    // An error is written at once: it may be the last thing the process says.
    return WriteEntry(entry.Data(), entry.Size(), level != BD_LOG_ERROR) > 0 ? 1 : 0;
}

int BdLog::Write(const std::string &line) {
    const std::string withEnd = line + '\n';
    return WriteEntry(withEnd.data(), withEnd.size(), false);
}

void BdLog::WriteStdoutLine(std::initializer_list<std::string_view> parts) {
    BdMutexLocker locker(_mutex);
    if (GatheringHereLocked()) {
        for (std::string_view part : parts) {
            _gathered.AddStdoutLine(part);
        }
        _gathered.AddStdoutLine("\n");
        if (_gathered.Full()) {
            FlushLocked();
        }
        return;
    }
    FlushLocked();
    for (std::string_view part : parts) {
        fwrite(part.data(), 1, part.size(), stdout);
    }
    fputc('\n', stdout);
    fflush(stdout);
}

void BdLog::WriteStderrLine(std::initializer_list<std::string_view> parts) {
    BdMutexLocker locker(_mutex);
    FlushLocked();
    for (std::string_view part : parts) {
        fwrite(part.data(), 1, part.size(), stderr);
    }
    fputc('\n', stderr);
    fflush(stderr);
}

void BdLog::GatherOnThisThread() {
    BdMutexLocker locker(_mutex);
    FlushLocked();
    _gatherThread = std::this_thread::get_id();
    _gathered.LookAtStreams();
}

int BdLog::FlushGathered() {
    BdMutexLocker locker(_mutex);
    return FlushLocked();
}

int BdLog::FlushLocked() {
    if (_gathered.Empty()) {
        return 1;
    }
    _gathered.WriteFile(_fd);
    bool streamsGood = _gathered.WriteStreams();
    bool entries = _gatheredEntries;
    _gatheredEntries = false;
    if (!streamsGood) {
        return 0;
    }
    return entries ? ArchiveLogLocked(_gatheredTime) : 1;
}

int BdLog::HandOverWatch() {
    BdMutexLocker locker(_mutex);
    if (_watchFd < 0) {
        return -1;
    }
    _watchHandedOver = true;
    // Whatever is queued already is read at the next check.
    WatchReported();
    return _watchFd;
}

void BdLog::HandBackWatch() {
    BdMutexLocker locker(_mutex);
    _watchHandedOver = false;
}

int BdLog::WriteEntry(const char *lineWithEnd, size_t size, bool mayGather) {
    BdMutexLocker locker(_mutex);
    if (!_initialised) {
        return 0;
    }
    BdTime now = CurrentTime();
    if (mayGather && GatheringHereLocked()) {
        // Lines held from the day that just ended belong in that day's file.
        if (!_gathered.FileEmpty() && _today.Of(now.ToSecond()) != _date) {
            FlushLocked();
        }
        CheckOrChangeLogLocked(now);
        _gathered.AddFileLine(std::string_view(lineWithEnd, size));
        if (!_quiet) {
            _gathered.AddStderrLine(std::string_view(lineWithEnd, size));
        }
        _gatheredEntries = true;
        _gatheredTime = now;
        return _gathered.Full() ? FlushLocked() : 1;
    }
    // What this thread or the loop held was written before this line.
    FlushLocked();
    CheckOrChangeLogLocked(now);
    // One write call per line, so lines of several processes sharing the file stay whole.
    if (_fd >= 0) {
        BdFile::Write(_fd, lineWithEnd, static_cast<int>(size));
    }
    if (!_quiet) {
        // The same bytes as the line and a flushed line end, in one write.
        std::cerr.write(lineWithEnd, static_cast<std::streamsize>(size));
        // Standard error is unit-buffered, so the write has flushed it already; a second flush
        // would only repeat the synchronisation with stdio.
        if ((std::cerr.flags() & std::ios_base::unitbuf) == 0) {
            std::cerr.flush();
        }
        if (!std::cerr.good()) {
            return 0;
        }
    }
    return ArchiveLogLocked(now);
}

int BdLog::CheckOrChangeLog() {
    BdMutexLocker locker(_mutex);
    return CheckOrChangeLogLocked(CurrentTime());
}

// When the new day file cannot be opened the date stays cleared, so the next entry tries again and
// a passing failure (a full disk, a directory removed by hand) heals without a restart. The
// directory is kept: entries are never written anywhere but the log directory.
int BdLog::CheckOrChangeLogLocked(const BdTime &now) {
    std::string_view today = _today.Of(now.ToSecond());
    if (today == _date) {
        return 1;
    }
    _date = today;
    CloseDayFileLocked();
    ArchiveLogLocked(now);
    if (OpenDayFileLocked() == 0) {
        _filePath.clear();
        _date.clear();
        return 0;
    }
    return 1;
}

int BdLog::ArchiveLog() {
    BdMutexLocker locker(_mutex);
    return ArchiveLogLocked(CurrentTime());
}

// A scan costs several system calls and the router writes an entry per forwarded packet, so a
// scan is skipped when it provably would delete nothing and return 1: the last scan deleted every
// expired file, the cut-off date and the spared day file are the same, the path still names the
// same directory, and its watch has reported no new name, permission change, move or removal.
// The path is looked up every time because the watch alone misses a renamed parent, and hears of
// the directory's removal only once the open day file in it is closed. Anything else (an event, a
// queue overflow, a failed deletion, no watch) means a full scan, so the same files go at the same
// entry with the same result as when every entry scanned.
int BdLog::ArchiveLogLocked(const BdTime &now) {
    if (_directory.empty()) {
        return 0;
    }
    std::string_view cutOffDate = CutOffDateLocked(now);
    bool silent = WatchSilentLocked();
    struct stat seen;
    bool found = stat(_directory.c_str(), &seen) == 0;
    if (_lastScan.clean && silent && found && seen.st_dev == _lastScan.device &&
        seen.st_ino == _lastScan.inode && cutOffDate == _lastScan.cutOffDate &&
        OpenFileLocked() == _lastScan.openFile) {
        return 1;
    }
    _lastScan.clean = false;
    WatchDirectoryLocked();
    bool allDeleted = false;
    int result = DeleteExpiredLocked(cutOffDate, &allDeleted);
    // seen predates the watch: should the path have changed in between, the next lookup differs.
    if (result == 1 && allDeleted && found && _watch >= 0) {
        _lastScan = {true, std::string(cutOffDate), OpenFileLocked(), seen.st_dev, seen.st_ino};
    }
    return result;
}

std::string_view BdLog::CutOffDateLocked(const BdTime &now) {
    return _cutOff.Of(now.ToSecond() - _days * kSecondsPerDay);
}

const std::string &BdLog::OpenFileLocked() const {
    static const std::string kNone;
    return _fd >= 0 ? _filePath : kNone;
}

bool BdLog::WatchSilentLocked() {
    if (_watchFd < 0 || _watch < 0) {
        return false;
    }
    // Another thread reads whatever the loop has not reported yet, so it misses nothing either.
    if (_watchHandedOver && GatheringHereLocked() &&
        !_watchReported.exchange(false, std::memory_order_acq_rel)) {
        return true;
    }
    // Which event it was does not matter: any of them calls for a scan.
    alignas(struct inotify_event) char events[4096];
    bool silent = true;
    for (;;) {
        ssize_t got = read(_watchFd, events, sizeof(events));
        if (got > 0) {
            silent = false;
        } else if (got == 0 || errno != EINTR) {
            return silent && got < 0 && errno == EAGAIN;
        }
    }
}

// The path may name another directory than the watched one (made again, or replaced); a watch on
// a directory already watched keeps its descriptor.
void BdLog::WatchDirectoryLocked() {
    if (_watchFd < 0) {
        return;
    }
    int watch = inotify_add_watch(_watchFd, _directory.c_str(), kDirectoryEvents);
    if (_watch >= 0 && watch != _watch) {
        inotify_rm_watch(_watchFd, _watch);
    }
    _watch = watch;
}

// Day file names put the date year first with fixed widths, so comparing names byte-wise orders
// them by date: the cut-off day's file and every older one go.
int BdLog::DeleteExpiredLocked(std::string_view cutOffDate, bool *allDeleted) {
    DIR *directory = opendir(_directory.c_str());
    if (directory == nullptr) {
        return 0;
    }
    const std::string cutOffName = _name + "-" + std::string(cutOffDate) + ".log";
    std::string currentName = _fd >= 0 ? _filePath.substr(_directory.size()) : std::string();
    *allDeleted = true;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(directory);
        if (entry == nullptr) {
            break;
        }
        const char *entryName = entry->d_name;
        if (strcmp(entryName, ".") == 0 || strcmp(entryName, "..") == 0) {
            continue;
        }
        // The open day file is never deleted, even with a retention of zero days or less.
        if (!currentName.empty() && currentName == entryName) {
            continue;
        }
        if (strncmp(entryName, _name.c_str(), _name.size()) == 0 &&
            strcmp(entryName, cutOffName.c_str()) <= 0 &&
            BdFile::DelFile(_directory + entryName) != 0) {
            *allDeleted = false;
        }
    }
    // A listing cut short may have missed a file; the next entry must look again.
    if (errno != 0) {
        *allDeleted = false;
    }
    closedir(directory);
    return 1;
}

int BdLog::TaskLog(int taskId, const std::string &taskName, int opcode, int code,
                   const std::string &userName, const std::string &description) {
    return Write(CurrentTime().ToDatetime() + " [task id=" + std::to_string(taskId) +
                 "][task name=" + taskName + "][opcode=" + std::to_string(opcode) + "][error_code" +
                 std::to_string(code) + "][username=" + userName + "][description=" + description +
                 "]");
}

int BdLog::SystemLog(int opcode, int code, const std::string &userName,
                     const std::string &description) {
    return Write(CurrentTime().ToDatetime() + " [opcode=" + std::to_string(opcode) +
                 "][error_code" + std::to_string(code) + "][username=" + userName +
                 "][description=" + description + "]");
}
