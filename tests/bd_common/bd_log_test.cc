#include "bd_common/bd_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "bd_common/bd_file.h"
#include "support/file_text.h"
#include "support/temp_dir.h"

namespace {

// 2026-12-04 12:00:00 UTC.
const long kNoonDecember4 = 1796385600L;
const long kDay = 86400L;

bool Exists(const std::string &path) {
    return BdFile::FileExist(path) == 0;
}

void Touch(const std::string &path) {
    ASSERT_EQ(BdFile::CreatFile(path), 0) << path;
}

// Points standard output and standard error at files while it lives; the same path for both
// shares one open file, as `2>&1` does.
class RedirectedStreams {
  public:
    RedirectedStreams(const std::string &out, const std::string &err)
        : _savedOut(dup(STDOUT_FILENO)), _savedErr(dup(STDERR_FILENO)) {
        fflush(stdout);
        PointAt(STDOUT_FILENO, out);
        if (err == out) {
            dup2(STDOUT_FILENO, STDERR_FILENO);
        } else {
            PointAt(STDERR_FILENO, err);
        }
    }
    ~RedirectedStreams() {
        fflush(stdout);
        dup2(_savedOut, STDOUT_FILENO);
        dup2(_savedErr, STDERR_FILENO);
        close(_savedOut);
        close(_savedErr);
    }
    RedirectedStreams(const RedirectedStreams &) = delete;
    RedirectedStreams &operator=(const RedirectedStreams &) = delete;

  private:
    static void PointAt(int stream, const std::string &path) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        dup2(fd, stream);
        close(fd);
    }

    int _savedOut;
    int _savedErr;
};

class BdLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        SetTime(kNoonDecember4);
        _log.SetClock([this] { return _now; });
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }

    void SetTime(long seconds) { _now = BdTime::Second(seconds); }
    int Open(bool quiet = true, int days = 10) {
        return _log.Init("rt_server", _dir.Path(), &_describer, quiet, days);
    }
    std::string LogDir() const { return _dir.Join("rt_server"); }
    std::string DayFile(const std::string &date) const {
        return LogDir() + "/rt_server-" + date + ".log";
    }
    int Debug(const std::string &message) { return _log.WriteLocalLog(1, message, 0, "", 0, ""); }

    TempDir _dir;
    BdError _describer;
    BdTime _now;
    BdLog _log;
};

TEST_F(BdLogTest, WritesEachLevelInItsOwnForm) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(_log.WriteLocalLog(1, "hello", 5, "", 0, ""), 1);
    EXPECT_EQ(_log.WriteLocalLog(2, "socket bind error", 18, "src/bd_netframwork/bd_network", 42,
                                 "InitConnection"),
              1);
    EXPECT_EQ(_log.WriteLocalLog(3, "no database", 7, "rt_server_application", 9, ""), 1);
    EXPECT_EQ(_log.WriteLocalLog(3, "odd code", 173, "", 0, "ParsePacket"), 1);

    std::vector<std::string> expected = {
        "2026/12/04 12:00:00 rt_server [DEBUG]: hello. ",
        "2026/12/04 12:00:00 rt_server [WARN:18#Socket bind error]: socket bind error. "
        "src/bd_netframwork/bd_network:42:InitConnection",
        "2026/12/04 12:00:00 rt_server [ERROR:7#Database initialize error]: no database. "
        "rt_server_application:9",
        "2026/12/04 12:00:00 rt_server [ERROR:173#]: odd code. :ParsePacket",
    };
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")), expected);
    EXPECT_EQ(_log.GetFilePath(), DayFile("2026-12-04"));
}

TEST_F(BdLogTest, ControlCharactersFromPeersCannotStartALine) {
    ASSERT_EQ(Open(), 1);
    const std::string forged = std::string("a\n2026/12/04 12:00:00 rt_server [DEBUG]: forged\r\t") +
                               '\x01' + '\x7f' + "\\n";
    EXPECT_EQ(_log.WriteLocalLog(3, "uuid: " + forged, 4, "", 0, ""), 1);
    std::vector<std::string> expected = {
        "2026/12/04 12:00:00 rt_server [ERROR:4#Parameter invalid]: uuid: a\\n2026/12/04 12:00:00 "
        "rt_server [DEBUG]: forged\\r\\t\\x01\\x7f\\n. "};
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")), expected);
}

TEST_F(BdLogTest, RefusesUnknownLevelsAndEmptyMessages) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(_log.WriteLocalLog(0, "zero", 1, "", 0, ""), 0);
    EXPECT_EQ(_log.WriteLocalLog(4, "four", 1, "", 0, ""), 0);
    EXPECT_EQ(_log.WriteLocalLog(3, "", 1, "f", 1, "g"), 0);
    EXPECT_TRUE(ReadFileLines(DayFile("2026-12-04")).empty());
}

TEST_F(BdLogTest, DropsEntriesUntilInitialisedAndIgnoresASecondInit) {
    EXPECT_EQ(Debug("too early"), 0);
    EXPECT_EQ(_log.Init("", _dir.Path(), &_describer, true, 10), 0);
    EXPECT_EQ(_log.Init("rt_server", "", &_describer, true, 10), 0);
    EXPECT_EQ(_log.Init("rt_server", _dir.Path(), nullptr, true, 10), 0);
    EXPECT_FALSE(Exists(LogDir()));
    EXPECT_EQ(Debug("still too early"), 0);

    ASSERT_EQ(Open(), 1);
    TempDir other;
    EXPECT_EQ(_log.Init("other", other.Path(), &_describer, true, 10), 0);
    EXPECT_EQ(Debug("first logger only"), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")).size(), 1u);
    EXPECT_FALSE(Exists(other.Join("other")));
}

TEST_F(BdLogTest, StaysClosedWhenTheDirectoryCannotBeMade) {
    Touch(_dir.Join("blocker"));
    EXPECT_EQ(_log.Init("rt_server", _dir.Join("blocker"), &_describer, true, 10), 0);
    EXPECT_EQ(_log.GetFilePath(), "");
    EXPECT_EQ(Debug("dropped"), 0);
}

TEST_F(BdLogTest, AppendsToTheExistingDayFile) {
    ASSERT_EQ(BdFile::CreateDir(LogDir()), 0);
    std::ofstream(DayFile("2026-12-04")) << "earlier line\n";
    ASSERT_EQ(Open(), 1);
    Debug("later");
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              (std::vector<std::string>{"earlier line",
                                        "2026/12/04 12:00:00 rt_server [DEBUG]: later. "}));
}

TEST_F(BdLogTest, InitDeletesDayFilesOfTheCutOffDateAndOlder) {
    ASSERT_EQ(BdFile::CreateDir(LogDir()), 0);
    for (const char *date : {"2025-01-01", "2026-11-23", "2026-11-24", "2026-11-25"}) {
        Touch(DayFile(date));
    }
    Touch(LogDir() + "/other-2020-01-01.log");
    ASSERT_EQ(Open(), 1);
    EXPECT_FALSE(Exists(DayFile("2025-01-01")));
    EXPECT_FALSE(Exists(DayFile("2026-11-23")));
    EXPECT_FALSE(Exists(DayFile("2026-11-24")));
    EXPECT_TRUE(Exists(DayFile("2026-11-25")));
    EXPECT_TRUE(Exists(LogDir() + "/other-2020-01-01.log"));
}

TEST_F(BdLogTest, FirstEntryAfterMidnightSwitchesFileAndExpiresTheCutOffDay) {
    SetTime(kNoonDecember4 + 12 * 3600 - 1);  // 23:59:59
    ASSERT_EQ(Open(), 1);
    Touch(DayFile("2026-11-25"));
    Touch(DayFile("2026-11-26"));
    EXPECT_EQ(Debug("before midnight"), 1);
    EXPECT_EQ(Debug("still before midnight"), 1);
    EXPECT_TRUE(Exists(DayFile("2026-11-25")));

    SetTime(kNoonDecember4 + 12 * 3600);  // 2026-12-05 00:00:00
    EXPECT_EQ(Debug("after midnight"), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              (std::vector<std::string>{
                  "2026/12/04 23:59:59 rt_server [DEBUG]: before midnight. ",
                  "2026/12/04 23:59:59 rt_server [DEBUG]: still before midnight. "}));
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-05")),
              std::vector<std::string>{"2026/12/05 00:00:00 rt_server [DEBUG]: after midnight. "});
    EXPECT_FALSE(Exists(DayFile("2026-11-25")));
    EXPECT_TRUE(Exists(DayFile("2026-11-26")));
    EXPECT_EQ(_log.GetFilePath(), DayFile("2026-12-05"));
}

// Where daylight saving time began within the retention, the cut-off date moves at 01:00 local
// time rather than at midnight.
TEST_F(BdLogTest, CutOffMovesWhenTheLocalDateTenDaysAgoChanges) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    SetTime(1775341800L);  // 2026-04-05 00:30 CEST; ten days earlier is 2026-03-25 23:30 CET
    ASSERT_EQ(Open(), 1);
    Touch(DayFile("2026-03-26"));
    EXPECT_EQ(Debug("cut-off still the 25th"), 1);
    SetTime(1775343599L);
    EXPECT_EQ(Debug("one second to go"), 1);
    EXPECT_TRUE(Exists(DayFile("2026-03-26")));

    SetTime(1775343600L);  // 01:00 CEST; ten days earlier is 2026-03-26 00:00 CET
    EXPECT_EQ(Debug("cut-off now the 26th"), 1);
    EXPECT_FALSE(Exists(DayFile("2026-03-26")));
    EXPECT_EQ(ReadFileLines(DayFile("2026-04-05")).size(), 3u);
}

// However a file gets into the directory between two entries, the next entry deletes it when it
// has expired, and leaves it when it is not one of this logger's.
TEST_F(BdLogTest, ExpiredFilesArrivingBetweenEntriesGoAtTheNextEntry) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(Debug("settled"), 1);
    EXPECT_EQ(Debug("nothing new"), 1);

    Touch(DayFile("2026-11-24"));
    EXPECT_EQ(Debug("after a create"), 1);
    EXPECT_FALSE(Exists(DayFile("2026-11-24")));

    TempDir elsewhere;
    Touch(elsewhere.Join("moved"));
    ASSERT_EQ(rename(elsewhere.Join("moved").c_str(), DayFile("2026-11-20").c_str()), 0);
    EXPECT_EQ(Debug("after a move into the directory"), 1);
    EXPECT_FALSE(Exists(DayFile("2026-11-20")));

    Touch(LogDir() + "/pending");
    EXPECT_EQ(Debug("an unrelated name"), 1);
    ASSERT_EQ(rename((LogDir() + "/pending").c_str(), DayFile("2026-11-21").c_str()), 0);
    EXPECT_EQ(Debug("after a rename inside the directory"), 1);
    EXPECT_FALSE(Exists(DayFile("2026-11-21")));

    Touch(elsewhere.Join("linked"));
    ASSERT_EQ(link(elsewhere.Join("linked").c_str(), DayFile("2026-11-22").c_str()), 0);
    EXPECT_EQ(Debug("after a hard link"), 1);
    EXPECT_FALSE(Exists(DayFile("2026-11-22")));

    for (const char *name :
         {"other-2020-01-01.log", "old-rt_server-2020-01-01.log", "rt_server-2026-11-25.log"}) {
        Touch(LogDir() + "/" + name);
        EXPECT_EQ(Debug(name), 1);
        EXPECT_EQ(Debug(name), 1);
        EXPECT_TRUE(Exists(LogDir() + "/" + name)) << name;
    }
}

// The path is read again at every entry: a log directory moved away with its parent, or replaced
// by something else, is noticed at once.
TEST_F(BdLogTest, LooksAtWhateverThePathNamesNow) {
    std::string parent = _dir.Join("logs");
    std::string logDir = parent + "/rt_server";
    ASSERT_EQ(_log.Init("rt_server", parent, &_describer, true, 10), 1);
    EXPECT_EQ(Debug("settled"), 1);

    ASSERT_EQ(rename(parent.c_str(), _dir.Join("logs.1").c_str()), 0);
    EXPECT_EQ(Debug("directory moved away"), 0);

    ASSERT_EQ(BdFile::CreateDir(logDir), 0);
    EXPECT_EQ(Debug("directory made again"), 1);
    EXPECT_EQ(Debug("settled again"), 1);
    ASSERT_EQ(rename(parent.c_str(), _dir.Join("logs.2").c_str()), 0);
    ASSERT_EQ(BdFile::CreateDir(logDir), 0);
    Touch(logDir + "/rt_server-2026-11-01.log");
    EXPECT_EQ(Debug("directory replaced"), 1);
    EXPECT_FALSE(Exists(logDir + "/rt_server-2026-11-01.log"));

    ASSERT_EQ(rename(parent.c_str(), _dir.Join("logs.3").c_str()), 0);
    ASSERT_EQ(BdFile::CreateDir(parent), 0);
    Touch(logDir);
    EXPECT_EQ(Debug("a plain file in its place"), 0);
    ASSERT_EQ(unlink(logDir.c_str()), 0);

    // The superuser reads any directory.
    if (geteuid() != 0) {
        ASSERT_EQ(BdFile::CreateDir(logDir), 0);
        EXPECT_EQ(Debug("readable"), 1);
        ASSERT_EQ(chmod(logDir.c_str(), 0), 0);
        EXPECT_EQ(Debug("unreadable"), 0);
        ASSERT_EQ(chmod(logDir.c_str(), 0755), 0);
        EXPECT_EQ(Debug("readable again"), 1);
    }
}

// Clearing a file's immutable flag tells the directory nothing, so only looking again finds that
// the file can go now.
TEST_F(BdLogTest, RetriesAFailedDeletionAtTheNextEntry) {
    ASSERT_EQ(Open(), 1);
    std::string expired = DayFile("2026-11-20");
    Touch(expired);
    int fd = open(expired.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
        (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)) {
        close(fd);
        GTEST_SKIP() << "files cannot be made immutable here";
    }
    EXPECT_EQ(Debug("cannot delete"), 1);
    EXPECT_EQ(Debug("still cannot"), 1);
    EXPECT_TRUE(Exists(expired));

    flags &= ~FS_IMMUTABLE_FL;
    ASSERT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    close(fd);
    EXPECT_EQ(Debug("deletable now"), 1);
    EXPECT_FALSE(Exists(expired));
}

TEST_F(BdLogTest, UnopenableDayFileIsRetriedAndNothingLandsOutsideTheLogDirectory) {
    ASSERT_EQ(Open(), 1);
    // A directory where the next day's file belongs makes opening it fail.
    ASSERT_EQ(BdFile::CreateDir(DayFile("2026-12-05")), 0);
    TempDir workDir;
    std::string previousDir = std::filesystem::current_path();
    ASSERT_EQ(chdir(workDir.Path().c_str()), 0);

    SetTime(kNoonDecember4 + kDay);
    Debug("lost while blocked");
    EXPECT_EQ(_log.GetFilePath(), "");
    EXPECT_TRUE(std::filesystem::is_empty(workDir.Path()));
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")).size(), 0u);

    ASSERT_EQ(rmdir(DayFile("2026-12-05").c_str()), 0);
    EXPECT_EQ(Debug("healed"), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-05")),
              std::vector<std::string>{"2026/12/05 12:00:00 rt_server [DEBUG]: healed. "});
    EXPECT_TRUE(std::filesystem::is_empty(workDir.Path()));
    ASSERT_EQ(chdir(previousDir.c_str()), 0);
}

TEST_F(BdLogTest, RemovedLogDirectoryIsMadeAgainAtTheNextDay) {
    ASSERT_EQ(Open(), 1);
    std::filesystem::remove_all(LogDir());
    EXPECT_EQ(Debug("directory gone"), 0);  // written to the unlinked file; clean-up cannot read

    SetTime(kNoonDecember4 + kDay);
    EXPECT_EQ(Debug("next day"), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-05")).size(), 1u);
}

TEST_F(BdLogTest, NeverDeletesTheOpenDayFile) {
    ASSERT_EQ(Open(true, 0), 1);
    Touch(DayFile("2026-12-03"));
    EXPECT_EQ(Debug("kept"), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")).size(), 1u);
    EXPECT_FALSE(Exists(DayFile("2026-12-03")));
}

TEST_F(BdLogTest, EchoesToStandardErrorUnlessQuiet) {
    ASSERT_EQ(Open(false), 1);
    testing::internal::CaptureStderr();
    Debug("echoed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "2026/12/04 12:00:00 rt_server [DEBUG]: echoed. \n");

    // A failed standard error is reported, but the entry is in the day file all the same.
    std::cerr.setstate(std::ios::badbit);
    EXPECT_EQ(Debug("echo lost"), 0);
    std::cerr.clear();
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")).back(),
              "2026/12/04 12:00:00 rt_server [DEBUG]: echo lost. ");

    TempDir quietDir;
    BdLog quiet;
    quiet.SetClock([this] { return _now; });
    ASSERT_EQ(quiet.Init("rt_server", quietDir.Path(), &_describer, true, 10), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(quiet.WriteLocalLog(3, "silent", 1, "", 0, ""), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The loop thread's lines are held until its flush, and go out before anything written at once:
// its own error entries and every other thread's lines.
TEST_F(BdLogTest, GatheredLinesKeepTheirPlaceAmongLinesWrittenAtOnce) {
    ASSERT_EQ(Open(false), 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    _log.GatherOnThisThread();
    EXPECT_EQ(Debug("one"), 1);
    _log.WriteStdoutLine({"trace ", "one"});
    EXPECT_TRUE(ReadFileLines(DayFile("2026-12-04")).empty());
    std::thread([this] { Debug("other thread"); }).join();
    EXPECT_EQ(Debug("two"), 1);
    EXPECT_EQ(_log.WriteLocalLog(3, "three", 1, "", 0, ""), 1);
    EXPECT_EQ(Debug("four"), 1);
    _log.WriteStdoutLine({"trace four"});
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")).size(), 4u);
    EXPECT_EQ(_log.FlushGathered(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string debug = "2026/12/04 12:00:00 rt_server [DEBUG]: ";
    const std::vector<std::string> expected = {
        debug + "one. ", debug + "other thread. ", debug + "two. ",
        "2026/12/04 12:00:00 rt_server [ERROR:1#Generic error]: three. ", debug + "four. "};
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")), expected);
    std::string echoed;
    for (const std::string &line : expected) {
        echoed += line + "\n";
    }
    EXPECT_EQ(err, echoed);
    EXPECT_EQ(out, "trace one\ntrace four\n");
}

TEST_F(BdLogTest, GatheredLinesGoToTheirDaysFileAndOutOncePastTheLimit) {
    SetTime(kNoonDecember4 + 12 * 3600 - 1);  // 23:59:59
    ASSERT_EQ(Open(), 1);
    Touch(DayFile("2026-11-25"));
    _log.GatherOnThisThread();
    Debug("before midnight");
    SetTime(kNoonDecember4 + 12 * 3600);
    Debug("after midnight");
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              std::vector<std::string>{"2026/12/04 23:59:59 rt_server [DEBUG]: before midnight. "});
    EXPECT_FALSE(Exists(DayFile("2026-11-25")));
    EXPECT_TRUE(ReadFileLines(DayFile("2026-12-05")).empty());

    const std::string filler(1000, 'x');
    const size_t lineBytes =
        std::string("2026/12/05 00:00:00 rt_server [DEBUG]: . \n").size() + filler.size();
    const size_t held = 1 + BdGatheredOutput::kFlushBytes / lineBytes;  // with "after midnight"
    for (size_t i = 1; i < held; ++i) {
        Debug(filler);
    }
    EXPECT_TRUE(ReadFileLines(DayFile("2026-12-05")).empty());
    Debug(filler);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-05")).size(), held + 1);
}

// As with `2>&1`: trace lines and the entries' echo share one file and keep their interleaving.
TEST_F(BdLogTest, OneFileForBothStreamsKeepsTheirLinesInterleaved) {
    ASSERT_EQ(Open(false), 1);
    const std::string both = _dir.Join("both");
    {
        RedirectedStreams streams(both, both);
        _log.GatherOnThisThread();
        for (int i = 0; i < 3; ++i) {
            _log.WriteStdoutLine({"trace ", std::to_string(i)});
            Debug("entry " + std::to_string(i));
        }
        _log.FlushGathered();
    }
    const std::string debug = "2026/12/04 12:00:00 rt_server [DEBUG]: ";
    EXPECT_EQ(ReadFileLines(both),
              (std::vector<std::string>{"trace 0", debug + "entry 0. ", "trace 1",
                                        debug + "entry 1. ", "trace 2", debug + "entry 2. "}));
}

// Under the service manager, or in the background, the streams are /dev/null: such a stream is
// skipped, and every other destination still gets every line.
TEST_F(BdLogTest, ANullStreamIsSkippedWhileTheOthersKeepEveryLine) {
    ASSERT_EQ(Open(false), 1);
    const std::string errors = _dir.Join("errors");
    {
        RedirectedStreams streams("/dev/null", errors);
        _log.GatherOnThisThread();
        _log.WriteStdoutLine({"trace ", "one"});
        Debug("one");
        EXPECT_EQ(_log.FlushGathered(), 1);
    }
    {
        RedirectedStreams streams("/dev/null", "/dev/null");
        _log.GatherOnThisThread();
        _log.WriteStdoutLine({"trace ", "two"});
        Debug("two");
        EXPECT_EQ(_log.FlushGathered(), 1);
    }
    const std::string debug = "2026/12/04 12:00:00 rt_server [DEBUG]: ";
    EXPECT_EQ(ReadFileLines(errors), std::vector<std::string>{debug + "one. "});
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              (std::vector<std::string>{debug + "one. ", debug + "two. "}));
}

TEST_F(BdLogTest, TaskAndSystemEntriesCarryNeitherNameNorLevel) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(_log.TaskLog(7, "nightly", 3, 46, "admin", "disk full"), 1);
    EXPECT_EQ(_log.SystemLog(2, 0, "root", "restart"), 1);
    EXPECT_EQ(
        ReadFileLines(DayFile("2026-12-04")),
        (std::vector<std::string>{
            "2026-12-04 12:00:00 [task id=7][task name=nightly][opcode=3][error_code46]"
            "[username=admin][description=disk full]",
            "2026-12-04 12:00:00 [opcode=2][error_code0][username=root][description=restart]"}));
}

TEST_F(BdLogTest, ConcurrentEntriesStayWholeLines) {
    ASSERT_EQ(Open(), 1);
    const int kThreads = 4;
    const int kEntries = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEntries; ++i) {
                Debug("thread " + std::to_string(t) + " entry " + std::to_string(i));
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::vector<std::string> lines = ReadFileLines(DayFile("2026-12-04"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
    std::vector<int> next(kThreads, 0);
    for (const std::string &line : lines) {
        int thread = -1;
        int entry = -1;
        ASSERT_EQ(
            sscanf(line.c_str(), "2026/12/04 12:00:00 rt_server [DEBUG]: thread %d entry %d. ",
                   &thread, &entry),
            2)
            << line;
        ASSERT_EQ(entry, next[thread]++) << "entries of one thread keep their order";
    }
}

// Time stamps and dates are remembered per second: every step of the clock, backwards too, must
// still show in the stamp and pick the day file.
TEST_F(BdLogTest, StampsAndDayFilesFollowEverySecondOfTheClock) {
    const long kLastSecond = kNoonDecember4 + 12 * 3600 - 1;  // 2026-12-04 23:59:59
    ASSERT_EQ(Open(), 1);
    for (long second :
         {kNoonDecember4, kNoonDecember4, kNoonDecember4 + 1, kNoonDecember4, kLastSecond,
          kLastSecond + 1, kLastSecond + 1, kLastSecond, kLastSecond + 2}) {
        SetTime(second);
        ASSERT_EQ(Debug("at " + std::to_string(second - kNoonDecember4)), 1);
    }
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              (std::vector<std::string>{"2026/12/04 12:00:00 rt_server [DEBUG]: at 0. ",
                                        "2026/12/04 12:00:00 rt_server [DEBUG]: at 0. ",
                                        "2026/12/04 12:00:01 rt_server [DEBUG]: at 1. ",
                                        "2026/12/04 12:00:00 rt_server [DEBUG]: at 0. ",
                                        "2026/12/04 23:59:59 rt_server [DEBUG]: at 43199. ",
                                        "2026/12/04 23:59:59 rt_server [DEBUG]: at 43199. "}));
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-05")),
              (std::vector<std::string>{"2026/12/05 00:00:00 rt_server [DEBUG]: at 43200. ",
                                        "2026/12/05 00:00:00 rt_server [DEBUG]: at 43200. ",
                                        "2026/12/05 00:00:01 rt_server [DEBUG]: at 43201. "}));
    EXPECT_EQ(_log.GetFilePath(), DayFile("2026-12-05"));
}

// Another logger on the same thread, made after the zone changed, must not reuse the first one's
// stamp of the same second.
TEST_F(BdLogTest, ALoggerMadeAfterAZoneChangeUsesTheNewZone) {
    SetTime(kNoonDecember4 + 8 * 3600);  // 20:00 UTC, 04:00 on the 5th eight hours east
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Debug("utc"), 1);
    setenv("TZ", "XYZ-8", 1);
    tzset();
    TempDir eastDir;
    BdLog east;
    east.SetClock([this] { return _now; });
    ASSERT_EQ(east.Init("rt_server", eastDir.Path(), &_describer, true, 10), 1);
    ASSERT_EQ(east.WriteLocalLog(1, "east", 0, "", 0, ""), 1);
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")),
              std::vector<std::string>{"2026/12/04 20:00:00 rt_server [DEBUG]: utc. "});
    EXPECT_EQ(ReadFileLines(eastDir.Join("rt_server/rt_server-2026-12-05.log")),
              std::vector<std::string>{"2026/12/05 04:00:00 rt_server [DEBUG]: east. "});
}

// Short entries are built on the stack, longer ones move to the heap part-way: the line must be
// the same wherever the move happens, and for entries of any length.
TEST_F(BdLogTest, LongEntriesAreWrittenWhole) {
    ASSERT_EQ(Open(), 1);
    std::vector<std::string> expected;
    std::vector<size_t> sizes;
    for (size_t size = 415; size <= 450; ++size) {
        sizes.push_back(size);
    }
    sizes.push_back(20000);
    for (size_t size : sizes) {
        std::string message(size, 'm');
        message[0] = 'a' + size % 26;
        ASSERT_EQ(_log.WriteLocalLog(3, message, 7, "file.cc", 12345, "Function"), 1);
        expected.push_back("2026/12/04 12:00:00 rt_server [ERROR:7#Database initialize error]: " +
                           message + ". file.cc:12345:Function");
    }
    EXPECT_EQ(ReadFileLines(DayFile("2026-12-04")), expected);
}

// The process's logger on the real clock.
TEST(BdLogSingletonTest, FreedLoggerIsReplacedByAnUninitialisedOne) {
    TempDir dir;
    BdError describer;
    BdLog *first = BdLog::GetLogger();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(BdLog::GetLogger(), first);
    ASSERT_EQ(first->Init("rt_server", dir.Path(), &describer, true, 10), 1);
    EXPECT_EQ(first->WriteLocalLog(1, "real time", 0, "", 0, ""), 1);
    std::string today = BdTime::Now().ToDate();
    std::string path = dir.Join("rt_server/rt_server-" + today + ".log");
    // The date may have changed between the entry and the check; only then is the file elsewhere.
    if (BdTime::Now().ToDate() == today) {
        EXPECT_EQ(ReadFileLines(path).size(), 1u);
    }

    EXPECT_EQ(BdLog::FreeLogger(), 1);
    BdLog *second = BdLog::GetLogger();
    EXPECT_EQ(second->WriteLocalLog(1, "dropped", 0, "", 0, ""), 0);
    EXPECT_EQ(second->GetFilePath(), "");
    BdLog::FreeLogger();
}

}  // namespace
