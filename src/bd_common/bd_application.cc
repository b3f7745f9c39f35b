#include "bd_common/bd_application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "bd_common/bd_error.h"
#include "bd_common/bd_file.h"
#include "bd_common/bd_getopt.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_path.h"
#include "bd_common/bd_util.h"

BD_LOG_SOURCE_FILE("src/bd_common/bd_application")

namespace {

const char kPidDirectory[] = "/var/run/norvale/";
const char kUuidDirectory[] = "/etc/norvale/backup-system/uuid/";
const char kNodeUuidFile[] = "node-sid";
const char kSoftwareInstallPath[] = "/opt/norvale/client/";
// A UUID file is read up to this many bytes; a generated UUID is 36 characters.
const int kUuidReadLimit = 64;
const int kUuidLength = 36;  // the text form of a generated UUID

// Creates dir with its parents when it does not exist yet.
bool EnsureDirectory(const std::string &dir) {
    return BdFile::FileExist(dir) == 0 || BdFile::CreateDir(dir) == 0;
}

}  // namespace

const BdGetopt::Option BdApplication::kOptions[] = {
    {'h', "help", BdGetopt::kNoArgument},
    {'v', "version", BdGetopt::kNoArgument},
    {'b', "background", BdGetopt::kNoArgument},
    {'c', "config", BdGetopt::kRequiredArgument},
    {0, nullptr, 0},
};

int BdApplication::main(int argc, char **argv) {
    if (ParseArgs(argc, argv)) {
        return 0;
    }
    std::cout << "main: fail to parse the args" << std::endl;
    return -1;
}

bool BdApplication::ParseArgs(int argc, char **argv) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        return false;
    }
    _programName = argv[0];

    BdGetopt parser(argc, argv, kOptions, false);
    if (!parser.Error().empty()) {
        ShowArgError(_programName, parser.Error(), true);
        return false;
    }
    for (int i = 0; i < parser.Arguments(); ++i) {
        switch (parser.Code(i)) {
            case 0:
                // The first non-option ends the walk; the router takes no positional arguments.
                return true;
            case 'c':
                _configPath = parser.Argument(i);
                break;
            case 'b':
                _background = true;
                break;
            case 'h':
                ShowHelp(_programName);
                _exit = true;
                return true;
            case 'v':
                ShowVersion(_programName);
                _exit = true;
                return true;
            default:
                break;
        }
    }
    return true;
}

bool BdApplication::RunInbackground() {
    return daemon(1, 0) == 0;
}

void BdApplication::ShowHelp(std::string &programName) const {
    std::cout << programName << ": Norvale backup and recovery system\n"
              << "\n"
              << "Usage: " << programName << " [options]\n"
              << "Options:\n"
              << "  -h, --help\t\t\tDisplay this help message and exit.\n"
              << "  -v, --version\t\t\tDisplay version information and exit.\n"
              << "  -b, --background\t\tRun this program in background.\n"
              << "  -c, --config [path]\t\tThe config file for this program, otherwise it will use "
                 "the default config file.\n"
              << _extraOptionHelp << std::endl;
}

void BdApplication::ShowArgError(const std::string &programName, const std::string &message,
                                 bool hint) const {
    if (!message.empty()) {
        std::cout << programName << ": " << message << "\n";
    }
    if (hint) {
        std::cout << "Try '" << programName << " -h or --help' for more information.\n";
    }
    std::cout.flush();
}

void BdApplication::ShowVersion(const std::string &programName) const {
    std::cout << programName << " v2.0\n"
              << "Norvale backup and recovery system, router server\n";
    std::cout.flush();
}

bool BdApplication::IsRunning(const std::string &pidFileName) {
    const std::string dir = BdPath::Resolve(kPidDirectory);
    if (!EnsureDirectory(dir)) {
        return false;
    }
    if (pidFileName.empty()) {
        return false;
    }

    const std::string path = dir + pidFileName;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        std::cerr << path << "open failed" << std::endl;
        return false;
    }
    struct flock lock {};  // from the start, length 0: the whole file
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        if (errno == EACCES || errno == EAGAIN) {
            std::cerr << "process already running" << std::endl;
        } else {
            std::cerr << "lock file failed" << std::endl;
        }
        close(fd);
        return false;
    }
    // The pid is followed by one NUL byte and no line end; readers rely on the lock, not on this.
    const std::string content = std::to_string(getpid()) + '\0';
    if (ftruncate(fd, 0) != 0 ||
        BdFile::Write(fd, content.data(), static_cast<int>(content.size())) !=
            static_cast<int>(content.size())) {
        std::cerr << "write pid file failed" << std::endl;
    }
    _pidFileFd = fd;
    _pidFilePath = path;
    return true;
}

void BdApplication::ReleaseRunningLock() {
    if (_pidFileFd < 0) {
        return;
    }
    // Unlinked while still locked, so a new instance never locks a file that is then removed.
    unlink(_pidFilePath.c_str());
    close(_pidFileFd);
    _pidFileFd = -1;
}

bool BdApplication::LoadProcessUUID(std::string processType, std::string *uuid) {
    if (uuid == nullptr) {
        return false;
    }
    const std::string dir = BdPath::Resolve(kUuidDirectory);
    if (!EnsureDirectory(dir)) {
        return false;
    }
    const std::string path = dir + processType;

    if (BdFile::FileExist(path) != 0) {
        const std::string fresh = BdUtil::GenerateUuidString();
        FILE *file = BdFile::OpenFile(path, "wb");
        if (file == nullptr) {
            std::cerr << "open uuid file to write failed:" << path << std::endl;
            return false;
        }
        // A short write would leave a UUID file that every later start reads back as this
        // process's identity, so it is a failure, not a success.
        const int written = BdFile::Write(file, fresh.data(), static_cast<int>(fresh.size()));
        const bool closed = std::fclose(file) == 0;
        if (written != static_cast<int>(fresh.size()) || !closed) {
            std::cerr << "write uuid file failed:" << path << std::endl;
            return false;
        }
        *uuid = fresh;
        return true;
    }

    FILE *file = BdFile::OpenFile(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[kUuidReadLimit + 1] = {0};
    const size_t got = std::fread(buffer, 1, kUuidReadLimit, file);
    std::fclose(file);
    *uuid = std::string(buffer, strnlen(buffer, got));
    return true;
}

int BdApplication::IgnoreSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return sigprocmask(SIG_SETMASK, &set, nullptr);
}

int BdApplication::LoadNodeProcessUuid(std::string *uuid) {
    if (uuid == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    const std::string path = BdPath::Resolve(kUuidDirectory) + kNodeUuidFile;
    if (BdFile::FileExist(path) != 0) {
        return BD_FILE_NOT_EXIST;
    }
    const int fd = BdFile::OpenFile(path, 1);
    if (fd < 0) {
        return BD_OPEN_FILE_ERROR;
    }
    char buffer[kUuidReadLimit + 1] = {0};
    const int got = BdFile::Read(fd, buffer, kUuidReadLimit);
    BdFile::CloseFile(fd);
    if (got != kUuidLength) {
        BD_LOG(BD_LOG_ERROR, BD_READ_FILE_ERROR, "read len is not equal uuid string length",
               "LoadNodeProcessUuid");
        return BD_READ_FILE_ERROR;
    }
    *uuid = std::string(buffer, got);
    return 0;
}

int BdApplication::GetSoftwareInstallPath(std::string *path) {
    if (path == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    *path = BdPath::Resolve(kSoftwareInstallPath);
    return 0;
}
