#include "bd_common/bd_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bd_common/bd_error.h"

int BdFile::FileExist(const std::string &path) {
    return access(path.c_str(), F_OK) == 0 ? 0 : 1;
}

int BdFile::CreateDir(const std::string &path) {
    std::string walk = path + "/";
    for (size_t i = 1; i < walk.size(); ++i) {
        if (walk[i] != '/' && walk[i] != '\\') {
            continue;
        }
        std::string prefix = walk.substr(0, i);
        // EEXIST: another process created it between the check and the mkdir, which is as good.
        if (FileExist(prefix) != 0 && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return 1;
        }
    }
    return 0;
}

int BdFile::CreatFile(const std::string &path) {
    if (FileExist(path) == 0) {
        return BD_FILE_ALREADY_EXIST;
    }
    // O_EXCL: a file that appears between the check and the create is not truncated.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0707);
    if (fd < 0) {
        return errno == EEXIST ? BD_FILE_ALREADY_EXIST : 1;
    }
    close(fd);
    return 0;
}

int BdFile::OpenFile(const std::string &path, int mode) {
    static const int kFlags[] = {
        O_RDWR,
        O_RDONLY,
        O_WRONLY,
        O_RDWR,
        O_RDWR | O_CREAT,
        O_RDONLY | O_CREAT,
        O_WRONLY | O_CREAT,
        O_WRONLY | O_CREAT | O_TRUNC,
        O_WRONLY | O_CREAT | O_APPEND,
    };
    if (mode < 0 || mode >= static_cast<int>(sizeof(kFlags) / sizeof(kFlags[0]))) {
        return -1;
    }
    return open(path.c_str(), kFlags[mode], 0707);
}

FILE *BdFile::OpenFile(const std::string &path, const char *mode) {
    return fopen(path.c_str(), mode);
}

int BdFile::FileHandleCheck(int fd) {
    return fd > 0 ? 1 : 0;
}

int BdFile::SeekEnd(int fd) {
    return lseek(fd, 0, SEEK_END) == static_cast<off_t>(-1) ? 0 : 1;
}

int BdFile::Write(int fd, const char *buffer, int length) {
    if (FileHandleCheck(fd) == 0 || buffer == nullptr || length < 1) {
        return -1;
    }
    int written = 0;
    while (written < length) {
        ssize_t result = write(fd, buffer + written, length - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        written += static_cast<int>(result);
    }
    return written;
}

int BdFile::Write(FILE *stream, const char *buffer, int length) {
    if (stream == nullptr || buffer == nullptr || length <= 0) {
        return -1;
    }
    return static_cast<int>(fwrite(buffer, 1, length, stream));
}

int BdFile::Read(int fd, char *buffer, int length) {
    if (FileHandleCheck(fd) == 0 || buffer == nullptr || length < 1) {
        return -1;
    }
    int got = 0;
    while (got < length) {
        ssize_t result = read(fd, buffer + got, length - got);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (result == 0) {
            break;
        }
        got += static_cast<int>(result);
    }
    return got;
}

int BdFile::Read(FILE *stream, char *buffer, int length) {
    if (stream == nullptr || buffer == nullptr || length <= 0) {
        return -1;
    }
    return static_cast<int>(fread(buffer, 1, length, stream));
}

int BdFile::CloseFile(int fd) {
    return close(fd) == 0 ? 1 : 0;
}

int BdFile::CloseFile(FILE *stream) {
    if (stream == nullptr) {
        return 0;
    }
    fclose(stream);
    return 1;
}

int BdFile::DelFile(const std::string &path) {
    return unlink(path.c_str()) == 0 ? 0 : 1;
}
