#ifndef BD_COMMON_BD_FILE_H_
#define BD_COMMON_BD_FILE_H_

#include <cstdio>
#include <string>

// Stateless file helpers for the pid, UUID and log files; callable from any thread. Descriptors
// and streams are owned by the caller, who closes them with CloseFile.
//
// Mind the two result conventions, which callers rely on:
//   0 = success: FileExist (0 = exists), CreateDir, CreatFile, DelFile;
//   1 = success: FileHandleCheck, SeekEnd, CloseFile.
class BdFile {
  public:
    BdFile() = delete;

    // Modes of OpenFile(path, int).
    enum OpenMode {
        kReadWrite = 0,
        kReadOnly = 1,
        kWriteOnly = 2,
        kReadWriteAlt = 3,  // the same flags as kReadWrite
        kReadWriteCreate = 4,
        kReadOnlyCreate = 5,
        kWriteOnlyCreate = 6,
        kWriteOnlyCreateTruncate = 7,
        kWriteOnlyCreateAppend = 8,
    };

    // 0 when something exists at path, 1 when not.
    static int FileExist(const std::string &path);
    // Creates path and every missing parent (mode 0777 before umask); 0 on success, 1 when a mkdir
    // fails.
    static int CreateDir(const std::string &path);
    // Creates an empty file: 0 on success, BD_FILE_ALREADY_EXIST when the path exists, 1 on
    // failure.
    static int CreatFile(const std::string &path);
    // open() with the flags of mode and permission bits 0707; -1 for a mode outside 0 to 8.
    static int OpenFile(const std::string &path, int mode);
    static FILE *OpenFile(const std::string &path, const char *mode);
    // 1 when fd is greater than 0 (descriptor 0 counts as invalid), else 0.
    static int FileHandleCheck(int fd);
    static int SeekEnd(int fd);
    // Whole-buffer write, repeating partial writes and retrying after EINTR; bytes written or -1.
    static int Write(int fd, const char *buffer, int length);
    static int Write(FILE *stream, const char *buffer, int length);
    // Reads until length bytes or end of file, retrying after EINTR; bytes read or -1.
    static int Read(int fd, char *buffer, int length);
    static int Read(FILE *stream, char *buffer, int length);
    static int CloseFile(int fd);
    static int CloseFile(FILE *stream);
    // unlink(); 0 on success, 1 on failure.
    static int DelFile(const std::string &path);
};

#endif  // BD_COMMON_BD_FILE_H_
