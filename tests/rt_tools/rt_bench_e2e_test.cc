// rt_bench against the real router, every workload at a small size: each run completes,
// verifies, and reports one parseable line. Figures are printed, never asserted; only which
// process they are of is.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

#include "support/peer_tables.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "tool_process.h"

namespace {

// The key=value fields of each "rt_bench" line.
std::vector<std::map<std::string, std::string>> Records(const std::string &out) {
    std::vector<std::map<std::string, std::string>> records;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != "rt_bench")
            continue;
        std::map<std::string, std::string> record;
        while (words >> word)
            record[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
        records.push_back(record);
    }
    return records;
}

class RtBenchE2eTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&database_))
            GTEST_SKIP() << "RT_DB_HOST is not set";
    }

    // Runs rt_bench on the given workloads with the router built alongside it.
    std::vector<std::map<std::string, std::string>> Bench(const std::vector<std::string> &args) {
        std::vector<std::string> all{"-R", "1", "-r", RT_SERVER_BINARY, "-d", work_.Path()};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(bench_.Run(all, "", 300000), 0) << bench_.Out() << bench_.Err();
        std::cout << bench_.Out();
        return Records(bench_.Out());
    }

    TestDatabaseAddress database_;
    TempDir work_;
    TempDir streams_;
    ToolProcess bench_{RT_BENCH_BINARY, streams_.Path()};
};

TEST_F(RtBenchE2eTest, TrafficWorkloadsDeliverAndVerifyEveryPacket) {
    const auto records = Bench({"-n", "6", "-m", "40", "fanin", "pairs", "pingpong"});
    ASSERT_EQ(records.size(), 3u);
    for (const auto &record : records) {
        EXPECT_EQ(record.at("result"), "ok");
        EXPECT_EQ(record.at("messages"), "240") << record.at("workload");
        EXPECT_EQ(record.at("bytes"), std::to_string((record.at("workload") == "pingpong" ? 2 : 1) *
                                                     240 * (272 + 256)));
        for (const char *key : {"msgs_per_s", "p99_us", "router_cpu_s", "router_peak_rss_kib"})
            EXPECT_TRUE(record.count(key)) << key;
    }
    EXPECT_EQ(records[2].at("forwarded"), "480");
}

TEST_F(RtBenchE2eTest, PayloadsLargerThanOneReadArriveWhole) {
    const auto records = Bench({"-n", "2", "-m", "10", "-s", "300000", "large"});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("result"), "ok");
    EXPECT_EQ(records[0].at("bytes"), std::to_string(20 * (272 + 300000)));
}

TEST_F(RtBenchE2eTest, CrowdsAreAnsweredAndOnlineAndTheirRowsRemovedAfterwards) {
    const auto records = Bench({"-n", "40", "storm", "idle"});
    ASSERT_EQ(records.size(), 2u);
    for (const auto &record : records) {
        EXPECT_EQ(record.at("result"), "ok");
        EXPECT_EQ(record.at("peers"), "40");
        EXPECT_TRUE(record.count("online_s"));
        EXPECT_TRUE(record.count("kib_per_peer"));
    }
    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_));
    EXPECT_EQ(tables.Value("SELECT COUNT(*) FROM bd_agent WHERE agent_uuid LIKE 'rtb%'"), "0");
    EXPECT_EQ(tables.Value("SELECT COUNT(*) FROM bd_module_server WHERE module_uuid LIKE 'rtb%'"),
              "0");
}

TEST_F(RtBenchE2eTest, ThePeersPageListsEveryConnectionWhileThePairTalks) {
    const auto records = Bench({"-n", "20", "peerspage"});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("result"), "ok");
    EXPECT_GE(std::stoi(records[0].at("page_fetches")), 5);
    for (const char *key : {"page_max_ms", "pause_publishing_ms", "pause_with_pages_ms"})
        EXPECT_TRUE(records[0].count(key)) << key;
}

// Both hub cases end with the stalled or slow agent closed and every figure of the healthy ones
// reported.
TEST_F(RtBenchE2eTest, TheHubWorkloadsSeeTheSlowAgentClosedAndReportTheHealthyOnes) {
    const auto records = Bench({"hubstall", "hubslow"});
    ASSERT_EQ(records.size(), 2u);
    for (const auto &record : records) {
        EXPECT_EQ(record.at("result"), "ok");
        EXPECT_GT(std::stod(record.at("slow_closed_after_s")), 0);
        EXPECT_GT(std::stod(record.at("healthy_mib_per_s_with")), 0);
        for (const char *key : {"healthy_mib_per_s_without", "healthy_longest_gap_ms"})
            EXPECT_TRUE(record.count(key)) << key;
    }
}

// A router given as a wrapper that runs it as a child (to keep its log or exit status) is still
// the process measured: before, the figures were the shell's, and its 1-4 MB passed any memory
// bound.
TEST_F(RtBenchE2eTest, ARouterRunUnderAWrapperIsMeasuredItself) {
    TempDir scripts;
    const std::string wrapper = scripts.Join("router-wrapper");
    std::ofstream(wrapper) << "#!/bin/sh\n"
                           << "'" << RT_SERVER_BINARY << "' \"$@\" &\n"
                           << "child=$!\n"
                           << "trap 'kill -TERM $child' TERM INT\n"
                           << "wait $child\n"
                           << "wait $child\n";
    ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
    ASSERT_EQ(
        bench_.Run({"-R", "1", "-r", wrapper, "-d", work_.Path(), "-n", "2", "-m", "10", "fanin"},
                   "", 300000),
        0)
        << bench_.Out() << bench_.Err();
    const auto records = Records(bench_.Out());
    ASSERT_EQ(records.size(), 1u);
    // The router holds its database client, its log and its epoll set: far more than a shell.
    EXPECT_GT(std::stol(records[0].at("router_peak_rss_kib")), 8 * 1024);
}

TEST_F(RtBenchE2eTest, AMissingRouterIsASetupFailure) {
    EXPECT_EQ(bench_.Run({"-R", "1", "-r", "/nonexistent/rt_server", "fanin"}), 3);
    EXPECT_NE(bench_.Out().find("result=FAIL"), std::string::npos);
    EXPECT_NE(bench_.Err().find("FAILED"), std::string::npos);
}

}  // namespace
