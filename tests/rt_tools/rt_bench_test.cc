// The benchmark as an instrument: its result line, its command line, and above all that its
// verification catches every loss, corruption and reordering.
#include <gtest/gtest.h>

#include <sstream>

#include "bd_netframwork/bd_packet.h"
#include "fault_relay.h"
#include "rt_tools/rt_bench_options.h"
#include "rt_tools/rt_bench_peer_set.h"
#include "rt_tools/rt_bench_record.h"
#include "rt_tools/rt_bench_traffic.h"

namespace {

TEST(RtBenchRecordTest, WritesOneLineOfKeyValuePairsWithoutSpacesInValues) {
    RtBenchRecord record;
    record.Add("workload", "fanin");
    record.Add("messages", static_cast<int64_t>(200000));
    record.Add("seconds", 2.03149, 3);
    record.Add("error", "two words");
    record.Add("empty", "");
    EXPECT_EQ(record.Line(),
              "rt_bench workload=fanin messages=200000 seconds=2.031 error=two_words empty=-");
}

TEST(RtBenchRecordTest, PercentilesAreNearestRank) {
    std::vector<uint32_t> values;
    for (uint32_t v = 100; v >= 1; --v)
        values.push_back(v);
    EXPECT_EQ(RtBenchRecord::Percentile(&values, 0.5), 50u);
    EXPECT_EQ(RtBenchRecord::Percentile(&values, 0.99), 99u);
    EXPECT_EQ(RtBenchRecord::Percentile(&values, 1.0), 100u);
    std::vector<uint32_t> one{7};
    EXPECT_EQ(RtBenchRecord::Percentile(&one, 0.99), 7u);
    std::vector<uint32_t> none;
    EXPECT_EQ(RtBenchRecord::Percentile(&none, 0.5), 0u);
}

int ParseBench(std::vector<std::string> words, RtBenchOptions *options) {
    words.insert(words.begin(), "rt_bench");
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    std::ostringstream err;
    return RtBenchCommandLine::Parse(static_cast<int>(argv.size()), argv.data(), err, options);
}

TEST(RtBenchCommandLineTest, TakesWorkloadsInOrderAndExpandsAll) {
    RtBenchOptions options;
    ASSERT_EQ(ParseBench({"-R", "1", "-r", "/x/rt_server", "pairs", "fanin"}, &options),
              kRtBenchExitOk);
    EXPECT_EQ(options.workloads, (std::vector<std::string>{"pairs", "fanin"}));
    EXPECT_EQ(options.runs, 1);
    EXPECT_EQ(options.settings.router_binary, "/x/rt_server");

    RtBenchOptions all;
    ASSERT_EQ(ParseBench({"--db-port=4000", "all"}, &all), kRtBenchExitOk);
    EXPECT_EQ(all.workloads.size(), 11u);
    EXPECT_EQ(all.settings.database.port, 4000);
}

TEST(RtBenchCommandLineTest, RefusesUnknownWorkloadsAndBadNumbers) {
    for (const auto &words : std::vector<std::vector<std::string>>{
             {}, {"flood"}, {"-n", "0", "fanin"}, {"-m", "x", "fanin"}, {"--runs"}}) {
        RtBenchOptions options;
        EXPECT_EQ(ParseBench(words, &options), kRtBenchExitUsage) << testing::PrintToString(words);
    }
}

// Three senders and one receiver through the relay, 50 packets each.
std::string RunThrough(FaultRelay::Fault fault, bool echo) {
    FaultRelay relay(fault, 60);
    if (!relay.Start())
        return "relay did not start";
    RtBenchPeerSet peers(relay.Port(), nullptr);
    const auto deadline = RtBenchPeerSet::Clock::now() + std::chrono::seconds(5);
    std::string error;
    if (!peers.Join({"sink"}, kBdHandShakeServerPlatform, deadline, &error) ||
        !peers.Join({"a", "b", "c"}, kBdHandShakeClient, deadline, &error)) {
        return error;
    }
    RtBenchTrafficSpec spec;
    spec.messages = 50;
    spec.window = echo ? 1 : 8;
    spec.echo = echo;
    RtBenchTraffic traffic(&peers, {{1, 0}, {2, 0}, {3, 0}}, spec);
    RtBenchTrafficResult result;
    if (!traffic.Run(deadline, &result, &error))
        return error;
    if (result.delivered != 150 || result.latencies_us.size() != 150)
        return "delivered " + std::to_string(result.delivered);
    return "";
}

TEST(RtBenchTrafficTest, PassesAFaithfulRelayAndCountsEveryPacket) {
    EXPECT_EQ(RunThrough(FaultRelay::kFaithful, false), "");
    EXPECT_EQ(RunThrough(FaultRelay::kFaithful, true), "");
}

TEST(RtBenchTrafficTest, ALostPacketFailsTheRun) {
    // Either the next packet of the flow shows the gap, or the time bound ends the run.
    const std::string error = RunThrough(FaultRelay::kDrop, false);
    EXPECT_TRUE(error.find("lost or reordered") != std::string::npos ||
                error.find("time bound reached") != std::string::npos)
        << error;
    EXPECT_NE(RunThrough(FaultRelay::kDrop, true), "");
}

TEST(RtBenchTrafficTest, ACorruptedByteFailsTheRun) {
    EXPECT_NE(RunThrough(FaultRelay::kCorrupt, false).find("with different bytes"),
              std::string::npos);
    EXPECT_NE(RunThrough(FaultRelay::kCorrupt, true).find("with different bytes"),
              std::string::npos);
}

TEST(RtBenchTrafficTest, TwoPacketsOfOneFlowSwappedFailTheRun) {
    // The relay holds one packet back until the next one of the same sender has overtaken it.
    const std::string error = RunThrough(FaultRelay::kSwap, false);
    EXPECT_NE(error.find("lost or reordered"), std::string::npos) << error;
}

}  // namespace
