#include "bd_common/bd_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bd_common/bd_error.h"
#include "support/file_text.h"
#include "support/temp_dir.h"

namespace {

void WriteText(int fd, const std::string &text) {
    ASSERT_EQ(BdFile::Write(fd, text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
}

bool IsDirectory(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(BdFileTest, CreateDirMakesEveryMissingParentAcceptsExistingOnesAndFailsBeneathAFile) {
    TempDir dir;
    std::string nested = dir.Join("a/b/c");
    EXPECT_EQ(BdFile::CreateDir(nested), 0);
    EXPECT_TRUE(IsDirectory(nested));
    EXPECT_EQ(BdFile::CreateDir(nested), 0);
    EXPECT_EQ(BdFile::CreateDir(dir.Join("a/b/c/")), 0);
    EXPECT_EQ(BdFile::CreateDir(dir.Join("a/d")), 0);
    EXPECT_TRUE(IsDirectory(dir.Join("a/d")));
    ASSERT_EQ(BdFile::CreatFile(dir.Join("plain")), 0);
    EXPECT_EQ(BdFile::CreateDir(dir.Join("plain/sub")), 1);
}

TEST(BdFileTest, CreatFileReportsExistingAndImpossibleFiles) {
    TempDir dir;
    std::string path = dir.Join("f");
    EXPECT_EQ(BdFile::FileExist(path), 1);
    EXPECT_EQ(BdFile::CreatFile(path), 0);
    EXPECT_EQ(BdFile::FileExist(path), 0);
    EXPECT_EQ(BdFile::CreatFile(path), BD_FILE_ALREADY_EXIST);
    EXPECT_EQ(BdFile::CreatFile(dir.Join("missing/f")), 1);
}

// Modes 0 to 3 do not create; a mode out of range opens nothing.
TEST(BdFileTest, OpenModesWithoutCreateOrOutOfRangeLeaveNoFile) {
    TempDir dir;
    std::string path = dir.Join("f");
    for (int mode : {0, 1, 2, 3, 9, -1}) {
        EXPECT_EQ(BdFile::OpenFile(path, mode), -1) << mode;
    }
    EXPECT_EQ(BdFile::FileExist(path), 1);
}

TEST(BdFileTest, TruncateAndAppendModes) {
    TempDir dir;
    std::string path = dir.Join("f");
    int fd = BdFile::OpenFile(path, BdFile::kWriteOnlyCreate);
    ASSERT_GT(fd, 0);
    WriteText(fd, "first");
    EXPECT_EQ(BdFile::CloseFile(fd), 1);

    fd = BdFile::OpenFile(path, BdFile::kWriteOnlyCreateAppend);
    ASSERT_GT(fd, 0);
    WriteText(fd, "+more");
    BdFile::CloseFile(fd);
    EXPECT_EQ(ReadFileText(path), "first+more");

    fd = BdFile::OpenFile(path, BdFile::kWriteOnlyCreateTruncate);
    ASSERT_GT(fd, 0);
    WriteText(fd, "new");
    BdFile::CloseFile(fd);
    EXPECT_EQ(ReadFileText(path), "new");
}

TEST(BdFileTest, ReadOnlyModesRefuseWritesAndReadWholeFiles) {
    TempDir dir;
    std::string path = dir.Join("f");
    int fd = BdFile::OpenFile(path, BdFile::kReadOnlyCreate);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(BdFile::Write(fd, "x", 1), -1);
    BdFile::CloseFile(fd);

    std::string text(100000, 'q');
    fd = BdFile::OpenFile(path, BdFile::kReadWrite);
    ASSERT_GT(fd, 0);
    WriteText(fd, text);
    BdFile::CloseFile(fd);

    fd = BdFile::OpenFile(path, BdFile::kReadOnly);
    std::string back(text.size() + 10, '\0');
    EXPECT_EQ(BdFile::Read(fd, &back[0], static_cast<int>(back.size())),
              static_cast<int>(text.size()));
    EXPECT_EQ(back.substr(0, text.size()), text);
    BdFile::CloseFile(fd);
}

TEST(BdFileTest, InvalidArgumentsAreRefused) {
    char buffer[4];
    EXPECT_EQ(BdFile::FileHandleCheck(0), 0);
    EXPECT_EQ(BdFile::FileHandleCheck(-1), 0);
    EXPECT_EQ(BdFile::FileHandleCheck(3), 1);
    EXPECT_EQ(BdFile::Write(-1, "x", 1), -1);
    EXPECT_EQ(BdFile::Write(1, nullptr, 1), -1);
    EXPECT_EQ(BdFile::Write(1, "x", 0), -1);
    EXPECT_EQ(BdFile::Read(-1, buffer, 4), -1);
    EXPECT_EQ(BdFile::Read(0, buffer, 4), -1);
    EXPECT_EQ(BdFile::Read(3, buffer, 0), -1);
    EXPECT_EQ(BdFile::Write(static_cast<FILE *>(nullptr), "x", 1), -1);
    EXPECT_EQ(BdFile::Write(stderr, "x", 0), -1);
    EXPECT_EQ(BdFile::Write(stderr, "x", -5), -1);
    EXPECT_EQ(BdFile::Read(static_cast<FILE *>(nullptr), buffer, 4), -1);
    EXPECT_EQ(BdFile::Read(stdin, buffer, -5), -1);
    EXPECT_EQ(BdFile::CloseFile(static_cast<FILE *>(nullptr)), 0);
}

TEST(BdFileTest, StreamRoundTripAndDelete) {
    TempDir dir;
    std::string path = dir.Join("uuid");
    FILE *out = BdFile::OpenFile(path, "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(BdFile::Write(out, "0123456789", 10), 10);
    EXPECT_EQ(BdFile::CloseFile(out), 1);

    FILE *in = BdFile::OpenFile(path, "rb");
    ASSERT_NE(in, nullptr);
    char buffer[64];
    EXPECT_EQ(BdFile::Read(in, buffer, sizeof(buffer)), 10);
    BdFile::CloseFile(in);
    EXPECT_EQ(BdFile::OpenFile(dir.Join("missing"), "rb"), nullptr);

    EXPECT_EQ(BdFile::DelFile(path), 0);
    EXPECT_EQ(BdFile::DelFile(path), 1);
}

}  // namespace
