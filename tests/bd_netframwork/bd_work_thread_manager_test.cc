// The work-thread pool's registries and reaping, with small real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_work_thread.h"
#include "bd_netframwork/bd_work_thread_manager.h"
#include "support/eventually.h"
#include "support/file_text.h"
#include "support/loopback.h"
#include "support/recording_connection.h"
#include "support/temp_dir.h"

namespace {

std::atomic<int> g_cleanedUp{0};
std::atomic<int> g_deleted{0};

// Runs until asked to stop or told its work is over; keeps the packets it is given.
class TestThread : public BdWorkThread {
  public:
    explicit TestThread(std::string task = "") : _task(std::move(task)) {}
    ~TestThread() override {
        for (char *packet : packets) {
            free(packet);
        }
        ++g_deleted;
    }
    void Run() override {
        while (!GetThreadExitFlag()) {
            if (finish.load()) {
                SetDestroyFlag();
            }
            usleep(1000);
        }
    }
    std::string GetTaskUuid() override { return _task; }
    int InputPacket(char *data, int) override {
        if (refuse) {
            return BD_WORK_THREAD_NOT_EXIST;
        }
        packets.push_back(data);
        return 0;
    }
    int CleanUp() override {
        ++g_cleanedUp;
        return 0;
    }

    std::atomic<bool> finish{false};
    bool refuse = false;
    std::vector<char *> packets;

  private:
    std::string _task;
};

class WorkThreadManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_cleanedUp = 0;
        g_deleted = 0;
        ASSERT_EQ(pool.Init(), 0);
    }
    void TearDown() override { pool.Destroy(); }
    TestThread *Started(const std::string &thread, const std::string &task = "") {
        auto *obj = new TestThread(task);
        obj->Start();
        EXPECT_EQ(pool.AddMapThreadUuidToThreadObj(thread, obj), 0);
        if (!task.empty()) {
            EXPECT_EQ(pool.AddMapTaskUuidToThreadUuid(task, thread), 0);
        }
        return obj;
    }
    BdWorkThreadManager pool;
};

TEST_F(WorkThreadManagerTest, RegistriesKeepTheFirstMapping) {
    TestThread *obj = Started("thread-1", "task-1");
    EXPECT_EQ(pool.AddMapTaskUuidToThreadUuid("task-1", "thread-2"), BD_WORK_THREAD_UUID_EXIST);
    TestThread spare;
    EXPECT_EQ(pool.AddMapThreadUuidToThreadObj("thread-1", &spare), BD_WORK_THREAD_EXIST);
    BdWorkThread *found = nullptr;
    EXPECT_EQ(pool.QueryThreadObjFromTaskUuid("task-1", &found), 0);
    EXPECT_EQ(found, obj);
    EXPECT_EQ(pool.QueryThreadObjFromTaskUuid("task-2", &found), BD_WORK_THREAD_UUID_NOT_EXIST);
    EXPECT_EQ(pool.QueryThreadObjFromThreadUuid("thread-2", &found), BD_WORK_THREAD_NOT_EXIST);
    EXPECT_EQ(pool.QueryThreadObjFromThreadUuid("", &found), BD_PARAMETER_INVALID);
    EXPECT_EQ(pool.DelThreadUuidByTaskUuid("task-2"), BD_WORK_THREAD_UUID_NOT_EXIST);

    EXPECT_EQ(pool.DelThreadObjByTaskUuid("task-1"), 0);
    EXPECT_EQ(g_cleanedUp, 1);
    EXPECT_EQ(g_deleted, 1);
    std::string thread;
    EXPECT_EQ(pool.QueryThreadUuidFromTaskUuid("task-1", &thread), BD_WORK_THREAD_UUID_NOT_EXIST);
}

TEST_F(WorkThreadManagerTest, FinishedThreadsAreReapedAndLogged) {
    TempDir logDir;
    BdError describer;
    ASSERT_EQ(BdLog::GetLogger()->Init("pool_test", logDir.Path(), &describer, true, 10), 1);
    TestThread *withTask = Started("thread-a", "task-a");
    TestThread *anonymous = Started("thread-b");
    Started("thread-c");
    withTask->finish = true;
    anonymous->finish = true;
    ASSERT_TRUE(Eventually(
        [&] { return withTask->GetDestroyFlag() && anonymous->GetDestroyFlag(); }, 2000));

    EXPECT_EQ(pool.CheckAndDestroy(), 0);
    EXPECT_EQ(g_deleted, 2);
    BdWorkThread *found = nullptr;
    EXPECT_EQ(pool.QueryThreadObjFromThreadUuid("thread-c", &found), 0);
    std::string thread;
    EXPECT_EQ(pool.QueryThreadUuidFromTaskUuid("task-a", &thread), BD_WORK_THREAD_UUID_NOT_EXIST);

    const std::string log = ReadFileText(BdLog::GetLogger()->GetFilePath());
    EXPECT_NE(log.find("[DEBUG]: task: task-a, thread: thread-a exit. "), std::string::npos);
    EXPECT_NE(log.find("[DEBUG]: thread: thread-b exit. "), std::string::npos);
    BdLog::FreeLogger();

    pool.Destroy();
    EXPECT_EQ(g_deleted, 3);
    EXPECT_EQ(g_cleanedUp, 3);
}

TEST_F(WorkThreadManagerTest, PacketsNamingAThreadReachItOnlyWhereEnabled) {
    TestThread *obj = Started("worker");
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    LoopbackPair pair;
    RecordingConnection conn;
    conn.Init(pair.local, &manager);
    std::string packet(300, '\0');
    EXPECT_EQ(conn.HandlePushToThreadPacket("worker", packet.data(), 300), BD_OBJECT_NOT_INIT);

    conn.EnableWorkThreads(&pool);
    EXPECT_EQ(conn.HandlePushToThreadPacket("nobody", packet.data(), 300),
              BD_WORK_THREAD_NOT_EXIST);
    EXPECT_EQ(conn.HandlePushToThreadPacket("worker", packet.data(), 300), 0);
    obj->refuse = true;
    EXPECT_EQ(conn.HandlePushToThreadPacket("worker", packet.data(), 300),
              BD_WORK_THREAD_NOT_EXIST);
    EXPECT_EQ(obj->packets.size(), 1u);
    conn.Destroy();
    manager.Destroy();
}

TEST(BdThreadTest, TimedJoinGivesUpAtItsDeadline) {
    TestThread obj;
    ASSERT_EQ(obj.Start(), 1);
    EXPECT_EQ(obj.Start(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(obj.TimedJoin(300), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(280));
    EXPECT_LT(waited, std::chrono::milliseconds(1300));
    obj.Exit();
    EXPECT_EQ(obj.TimedJoin(1500), 1);
    EXPECT_EQ(obj.Join(), 0);
}

}  // namespace
