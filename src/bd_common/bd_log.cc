#include "bd_common/bd_log.h"

#include <dirent.h>
#include <string.h>

#include <iostream>

#include "bd_common/bd_file.h"
#include "bd_common/bd_util.h"

namespace {

const long kSecondsPerDay = 86400;

}  // namespace

std::atomic<BdLog *> BdLog::_log{nullptr};
BdMutex BdLog::_instance_mutex;

BdLog::BdLog() : _clock([] { return BdTime::Now(BdTime::kWallClock); }) {}

BdLog::~BdLog() {
    CloseDayFileLocked();
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
    return _fd >= 0 ? _file_path : std::string();
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
    _date = now.ToDate();
    if (OpenDayFileLocked() == 0) {
        _directory.clear();
        _file_path.clear();
        _date.clear();
        return 0;
    }
    _quiet = quiet;
    _initialised = true;
    ArchiveLogLocked(now);
    return 1;
}

int BdLog::CreateLogFileName() {
    _file_path = _directory + _name + "-" + _date + ".log";
    return 1;
}

// Opens the day file of _date for appending, creating the log directory again if it has gone
// meanwhile. 1 when the descriptor is valid.
int BdLog::OpenDayFileLocked() {
    CreateLogFileName();
    if (BdFile::FileExist(_directory) != 0) {
        BdFile::CreateDir(_directory);
    }
    if (BdFile::FileExist(_file_path) != 0) {
        BdFile::CreatFile(_file_path);
    }
    _fd = BdFile::OpenFile(_file_path, BdFile::kWriteOnlyCreateAppend);
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
    std::string entry = CurrentTime().ToLogDatetime();
    entry += ' ';
    entry += _name;
    if (level == BD_LOG_DEBUG) {
        entry += " [DEBUG]: ";
    } else {
        entry += level == BD_LOG_WARN ? " [WARN:" : " [ERROR:";
        entry += BdUtil::NumToStr(code);
        if (_describer != nullptr) {
            entry += '#';
            entry += _describer->GetDescription(code);
        }
        entry += "]: ";
    }
    entry += message;
    entry += ". ";
    if (!file.empty()) {
        entry += file;
        entry += ':';
        entry += BdUtil::NumToStr(line);
    }
    if (!function.empty()) {
        entry += ':';
        entry += function;
    }
    return Write(entry) > 0 ? 1 : 0;
}

int BdLog::Write(const std::string &line) {
    BdMutexLocker locker(_mutex);
    if (!_initialised) {
        return 0;
    }
    BdTime now = CurrentTime();
    CheckOrChangeLogLocked(now);
    if (_fd >= 0) {
        // One write call per line, so lines of several processes sharing the file stay whole.
        std::string withEnd = line + "\n";
        BdFile::Write(_fd, withEnd.data(), static_cast<int>(withEnd.size()));
    }
    if (!_quiet) {
        std::cerr << line << std::endl;
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
    std::string today = now.ToDate();
    if (today == _date) {
        return 1;
    }
    _date = today;
    CloseDayFileLocked();
    ArchiveLogLocked(now);
    if (OpenDayFileLocked() == 0) {
        _file_path.clear();
        _date.clear();
        return 0;
    }
    return 1;
}

int BdLog::ArchiveLog() {
    BdMutexLocker locker(_mutex);
    return ArchiveLogLocked(CurrentTime());
}

// The scan runs on every entry; the directory holds only this logger's day files, so it stays
// small. Splitting the cut-off from the scan leaves room to skip scans whose outcome cannot differ
// (same cut-off, unchanged directory).
int BdLog::ArchiveLogLocked(const BdTime &now) {
    if (_directory.empty()) {
        return 0;
    }
    return DeleteExpiredLocked(CutOffName(now));
}

std::string BdLog::CutOffName(const BdTime &now) const {
    BdTime cutOffTime = BdTime::Second(now.ToSecond() - _days * kSecondsPerDay);
    return _name + "-" + cutOffTime.ToDate() + ".log";
}

// Day file names put the date year first with fixed widths, so comparing names byte-wise orders
// them by date: the cut-off day's file and every older one go.
int BdLog::DeleteExpiredLocked(const std::string &cutOffName) {
    DIR *directory = opendir(_directory.c_str());
    if (directory == nullptr) {
        return 0;
    }
    std::string currentName = _fd >= 0 ? _file_path.substr(_directory.size()) : std::string();
    struct dirent *entry;
    while ((entry = readdir(directory)) != nullptr) {
        const char *entryName = entry->d_name;
        if (strcmp(entryName, ".") == 0 || strcmp(entryName, "..") == 0) {
            continue;
        }
        // The open day file is never deleted, even with a retention of zero days or less.
        if (!currentName.empty() && currentName == entryName) {
            continue;
        }
        if (strncmp(entryName, _name.c_str(), _name.size()) == 0 &&
            strcmp(entryName, cutOffName.c_str()) <= 0) {
            BdFile::DelFile(_directory + entryName);
        }
    }
    closedir(directory);
    return 1;
}

int BdLog::TaskLog(int taskId, const std::string &taskName, int opcode, int code,
                   const std::string &userName, const std::string &description) {
    return Write(CurrentTime().ToDatetime() + " [task id=" + BdUtil::NumToStr(taskId) +
                 "][task name=" + taskName + "][opcode=" + BdUtil::NumToStr(opcode) +
                 "][error_code" + BdUtil::NumToStr(code) + "][username=" + userName +
                 "][description=" + description + "]");
}

int BdLog::SystemLog(int opcode, int code, const std::string &userName,
                     const std::string &description) {
    return Write(CurrentTime().ToDatetime() + " [opcode=" + BdUtil::NumToStr(opcode) +
                 "][error_code" + BdUtil::NumToStr(code) + "][username=" + userName +
                 "][description=" + description + "]");
}
