#include "bd_common/bd_gathered_output.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <iostream>

#include "bd_common/bd_file.h"

namespace {

bool IsNullDevice(int fd) {
    struct stat seen;
    return fstat(fd, &seen) == 0 && S_ISCHR(seen.st_mode) && major(seen.st_rdev) == 1 &&
           minor(seen.st_rdev) == 3;
}

bool SameFile(int first, int second) {
    struct stat a, b;
    return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Empties a buffer, keeping its capacity for the next turn unless one huge line blew it up.
void Release(std::string *buffer) {
    if (buffer->capacity() > 2 * BdGatheredOutput::kFlushBytes) {
        std::string().swap(*buffer);
    } else {
        buffer->clear();
    }
}

}  // namespace

void BdGatheredOutput::LookAtStreams() {
    if (Empty()) {
        _shared = SameFile(STDOUT_FILENO, STDERR_FILENO);
        _stdoutDiscarded = IsNullDevice(STDOUT_FILENO);
        _stderrDiscarded = IsNullDevice(STDERR_FILENO);
    }
}

void BdGatheredOutput::WriteFile(int fd) {
    if (fd >= 0 && !_file.empty()) {
        BdFile::Write(fd, _file.data(), static_cast<int>(_file.size()));
    }
    Release(&_file);
}

bool BdGatheredOutput::WriteStreams() {
    // Whatever was printed through stdio before these lines must stay before them.
    if (!_stdout.empty() || (_shared && !_stderr.empty())) {
        fflush(stdout);
    }
    if (!_stdout.empty()) {
        BdFile::Write(STDOUT_FILENO, _stdout.data(), static_cast<int>(_stdout.size()));
        Release(&_stdout);
    }
    if (_stderr.empty()) {
        return true;
    }
    std::cerr.write(_stderr.data(), static_cast<std::streamsize>(_stderr.size()));
    // Standard error is unit-buffered, so the write has flushed it already.
    if ((std::cerr.flags() & std::ios_base::unitbuf) == 0) {
        std::cerr.flush();
    }
    Release(&_stderr);
    return std::cerr.good();
}
