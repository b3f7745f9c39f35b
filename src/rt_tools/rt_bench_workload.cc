#include "rt_tools/rt_bench_workload.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bd_database/bd_database.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_bench_big_slow.h"
#include "rt_tools/rt_bench_database.h"
#include "rt_tools/rt_bench_db_storm.h"
#include "rt_tools/rt_bench_hub.h"
#include "rt_tools/rt_bench_peer_set.h"
#include "rt_tools/rt_bench_traffic.h"

namespace {

using Clock = RtBenchPeerSet::Clock;

struct Defaults {
    const char *name;
    int peers;
    int messages;
    int payload_size;
    int window;
};

// Sized so that each run takes a few seconds on a small machine.
const Defaults kDefaults[] = {
    {"fanin", 50, 10000, 256, 64},  {"pairs", 50, 10000, 256, 64},
    {"pingpong", 50, 2000, 256, 1}, {"large", 4, 2000, 256 * 1024, 4},
    {"storm", 2000, 0, 0, 0},       {"idle", 10000, 0, 0, 0},
    {"dbstorm", 2000, 0, 0, 0},     {"peerspage", 10000, 0, 0, 0},
    {"hubstall", 10, 0, 0, 0},      {"hubslow", 10, 0, 0, 0},
    {"bigslow", 50, 0, 0, 0},
};

const Defaults &DefaultsOf(const std::string &workload) {
    for (const Defaults &defaults : kDefaults) {
        if (workload == defaults.name) {
            return defaults;
        }
    }
    return kDefaults[0];
}

// This process's user plus system CPU time so far.
double OwnCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Pick(int given, int fallback) {
    return given > 0 ? given : fallback;
}

// UUIDs of this run's peers share a prefix unique to the process and run, so their rows can be
// counted and removed without touching anyone else's.
std::string Prefix(const std::string &workload, int runNumber) {
    return "rtb" + std::to_string(getpid()) + "-" + workload.substr(0, 2) +
           std::to_string(runNumber) + "-";
}

std::vector<std::string> Uuids(const std::string &prefix, int count) {
    std::vector<std::string> uuids;
    for (int i = 0; i < count; ++i) {
        uuids.push_back(prefix + std::to_string(i));
    }
    return uuids;
}

std::string SeriesPath(const RtBenchSettings &settings, int runNumber, const char *kind) {
    return settings.series_dir + "/" + settings.workload + "-" + std::to_string(runNumber) + "." +
           kind;
}

double SecondsSince(Clock::time_point start, Clock::time_point when) {
    return std::chrono::duration<double>(when - start).count();
}

void AddTraffic(RtBenchRecord *record, RtBenchTrafficResult *result) {
    const double seconds = result->seconds > 0 ? result->seconds : 1e-9;
    record->Add("messages", static_cast<int64_t>(result->delivered));
    record->Add("bytes", static_cast<int64_t>(result->bytes));
    record->Add("seconds", seconds, 3);
    record->Add("msgs_per_s", static_cast<int64_t>(result->delivered / seconds));
    record->Add("mb_per_s", result->bytes / seconds / 1e6, 1);
    record->Add("p50_us",
                static_cast<int64_t>(RtBenchRecord::Percentile(&result->latencies_us, 0.5)));
    record->Add("p99_us",
                static_cast<int64_t>(RtBenchRecord::Percentile(&result->latencies_us, 0.99)));
    record->Add("max_us",
                static_cast<int64_t>(RtBenchRecord::Percentile(&result->latencies_us, 1.0)));
}

bool RunTraffic(const RtBenchSettings &settings, int runNumber, const Defaults &defaults,
                RtBenchRouter *router, SSL_CTX *tls, const std::string &prefix,
                RtBenchRecord *record, std::string *error) {
    RtBenchTrafficSpec spec;
    spec.payload_size = Pick(settings.payload_size, defaults.payload_size);
    spec.messages = Pick(settings.messages, defaults.messages);
    spec.window = Pick(settings.window, defaults.window);
    spec.echo = settings.workload == "pingpong";
    const bool pairs = settings.workload == "pairs";
    const int peers = Pick(settings.peers, defaults.peers) / (pairs ? 2 : 1) * (pairs ? 2 : 1);
    record->Add("peers", static_cast<int64_t>(peers));
    record->Add("payload", static_cast<int64_t>(spec.payload_size));
    record->Add("window", static_cast<int64_t>(spec.window));
    if (spec.payload_size < RtBenchTrafficSpec::kMinPayload) {
        *error = "payloads must have at least " + std::to_string(RtBenchTrafficSpec::kMinPayload) +
                 " bytes";
        return false;
    }

    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(settings.time_bound_seconds);
    RtBenchPeerSet set(router->Port(), tls);
    if (!set.Join({prefix + "platform"}, kBdHandShakeServerPlatform, deadline, error) ||
        !set.Join(Uuids(prefix, peers), kBdHandShakeClient, deadline, error)) {
        return false;
    }
    // Peer 0 is the platform, clients are 1..peers.
    std::vector<RtBenchFlow> flows;
    for (int i = 1; i <= peers; ++i) {
        if (pairs) {
            flows.push_back({static_cast<size_t>(i), static_cast<size_t>(i % 2 ? i + 1 : i - 1)});
        } else {
            flows.push_back({static_cast<size_t>(i), 0});
        }
    }
    RtBenchTraffic traffic(&set, flows, spec);
    RtBenchTrafficResult result;
    const double cpuBefore = router->CpuSeconds();
    const double benchBefore = OwnCpuSeconds();
    const bool ok = traffic.Run(deadline, &result, error);
    const double cpu = router->CpuSeconds() - cpuBefore;
    const double benchCpu = OwnCpuSeconds() - benchBefore;
    if (spec.echo && !settings.series_dir.empty()) {
        std::ofstream series(SeriesPath(settings, runNumber, "latency_us"));
        for (uint32_t latency : result.latencies_us) {
            series << latency << '\n';
        }
    }
    AddTraffic(record, &result);
    // A round trip is two forwarded packets.
    const uint64_t forwarded = result.delivered * (spec.echo ? 2 : 1);
    record->Add("forwarded", static_cast<int64_t>(forwarded));
    record->Add("router_cpu_s", cpu, 2);
    record->Add("router_cpu_us_per_packet",
                forwarded > 0 ? cpu * 1e6 / static_cast<double>(forwarded) : 0.0, 2);
    record->Add("router_peak_rss_kib", static_cast<int64_t>(router->PeakRssKib()));
    // On a small machine the load generator competes with the router for the cores.
    record->Add("bench_cpu_s", benchCpu, 2);
    return ok;
}

// The rows online while a crowd joins, counted every 20 ms over a connection of its own, so that
// a crowd's timeline shows its commits beside its connects and answers. Each count reads every
// row of the crowd on the database the crowd's handshakes wait for (about 0.25 s of a 10,000-peer
// storm's time on two cores), so it runs only when a timeline is asked for.
class OnlineWatch {
  public:
    OnlineWatch(const RtRouterDatabase &address, std::string sql, Clock::time_point start)
        : _sql(std::move(sql)), _start(start) {
        if (_database.Open(address)) {
            _thread = std::thread([this] { Watch(); });
        }
    }
    ~OnlineWatch() { Stop(); }
    // Ends the counting; the series is complete afterwards.
    void Stop() {
        _stop = true;
        if (_thread.joinable()) {
            _thread.join();
        }
    }
    // "seconds count" lines, one per count that changed.
    const std::string &Series() const { return _series; }

  private:
    void Watch() {
        long last = -1;
        while (!_stop) {
            const long count = _database.Count(_sql);
            if (count != last) {
                _series += std::to_string(SecondsSince(_start, Clock::now())) + " " +
                           std::to_string(count) + "\n";
                last = count;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    RtBenchDatabase _database;
    const std::string _sql;
    const Clock::time_point _start;
    std::atomic<bool> _stop{false};
    std::string _series;  // the watching thread's until Stop
    std::thread _thread;
};

// The router's own timeline (RT_SERVER_TIMELINE: for each millisecond, its CLOCK_MONOTONIC second
// and the connections accepted, handshakes read, handed to the database writer, written and
// answered in it) as five blocks of "seconds since start, running total", the crowd's clock
// (steady_clock, CLOCK_MONOTONIC too) starting at start. false when the router wrote none.
bool WriteRouterTimeline(const std::string &routerFile, Clock::time_point start,
                         const std::string &path) {
    std::ifstream in(routerFile);
    if (!in) {
        return false;
    }
    const double origin = std::chrono::duration<double>(start.time_since_epoch()).count();
    const int kPoints = 5;
    std::vector<std::string> blocks(kPoints);
    std::vector<uint64_t> totals(kPoints, 0);
    std::vector<uint64_t> counts(kPoints, 0);
    double second = 0;
    while (in >> second >> counts[0] >> counts[1] >> counts[2] >> counts[3] >> counts[4]) {
        for (int point = 0; point < kPoints; ++point) {
            if (counts[point] != 0) {
                totals[point] += counts[point];
                blocks[point] +=
                    std::to_string(second - origin) + " " + std::to_string(totals[point]) + "\n";
            }
        }
    }
    std::ofstream out(path);
    for (const std::string &block : blocks) {
        out << block << "\n\n";
    }
    return static_cast<bool>(out);
}

// storm and idle: a crowd of clients hand-shaking at once; *started is when it began.
bool RunCrowd(const RtBenchSettings &settings, int runNumber, const Defaults &defaults,
              RtBenchRouter *router, SSL_CTX *tls, const std::string &prefix,
              RtBenchDatabase *database, RtBenchRecord *record, Clock::time_point *started,
              std::string *error) {
    const int peers = Pick(settings.peers, defaults.peers);
    record->Add("peers", static_cast<int64_t>(peers));
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(settings.time_bound_seconds);
    RtBenchPeerSet set(router->Port(), tls);
    if (!set.Join({prefix + "platform"}, kBdHandShakeServerPlatform, deadline, error)) {
        return false;
    }
    const long rssBefore = router->RssKib();
    const double cpuBefore = router->CpuSeconds();
    const std::string online =
        "SELECT COUNT(*) FROM bd_agent WHERE agent_uuid LIKE '" + prefix + "%' AND online_flag = 1";
    const Clock::time_point start = Clock::now();
    *started = start;
    // Counting the rows loads the database the crowd waits for: only for a timeline.
    std::unique_ptr<OnlineWatch> watch;
    if (!settings.series_dir.empty()) {
        watch = std::make_unique<OnlineWatch>(settings.database, online, start);
    }
    if (!set.Join(Uuids(prefix, peers), kBdHandShakeClient, deadline, error)) {
        return false;
    }
    record->Add("answered_s", SecondsSince(start, Clock::now()), 3);
    std::string onlineSeries;
    if (watch) {
        watch->Stop();
        onlineSeries = watch->Series();
    }
    long count = -1;
    while ((count = database->Count(online)) != peers) {
        onlineSeries +=
            std::to_string(SecondsSince(start, Clock::now())) + " " + std::to_string(count) + "\n";
        if (count < 0 || Clock::now() > deadline) {
            *error = count < 0 ? "cannot count the online rows"
                               : std::to_string(count) + " of " + std::to_string(peers) +
                                     " rows online at the time bound";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double allOnline = SecondsSince(start, Clock::now());
    record->Add("online_s", allOnline, 3);
    if (!settings.series_dir.empty()) {
        // Peer 0 is the platform, answered before the clock started.
        std::vector<double> answers;
        std::vector<double> connects;
        for (size_t i = 1; i < set.Size(); ++i) {
            answers.push_back(SecondsSince(start, set.Peer(i).answered_at));
            connects.push_back(SecondsSince(start, set.Peer(i).connected_at));
        }
        std::ofstream series(SeriesPath(settings, runNumber, "timeline"));
        // Three blocks: handshakes answered, rows online, connections completed.
        const auto cumulative = [&series](std::vector<double> *times) {
            std::sort(times->begin(), times->end());
            for (size_t i = 0; i < times->size(); ++i) {
                series << (*times)[i] << ' ' << i + 1 << '\n';
            }
        };
        cumulative(&answers);
        series << "\n\n" << onlineSeries << allOnline << ' ' << peers << '\n';
        series << "\n\n";
        cumulative(&connects);
    }
    record->Add("router_cpu_s", router->CpuSeconds() - cpuBefore, 2);
    const long rssAfter = router->RssKib();
    record->Add("rss_before_kib", static_cast<int64_t>(rssBefore));
    record->Add("rss_after_kib", static_cast<int64_t>(rssAfter));
    record->Add("kib_per_peer", static_cast<double>(rssAfter - rssBefore) / peers, 2);
    record->Add("router_peak_rss_kib", static_cast<int64_t>(router->PeakRssKib()));
    return true;
}

}  // namespace

const std::vector<std::string> &RtBenchWorkload::Names() {
    static const std::vector<std::string> names = {"fanin",    "pairs",   "pingpong", "large",
                                                   "storm",    "idle",    "dbstorm",  "peerspage",
                                                   "hubstall", "hubslow", "bigslow"};
    return names;
}

bool RtBenchTlsSetup(const RtBenchSettings &settings, RtRouterTls *router, RtPeerTlsContext *peers,
                     std::string *error) {
    if (!settings.tls.enabled) {
        return true;
    }
    router->port = -1;  // any free port
    router->certificate_file = settings.tls.certificate_file;
    router->key_file = settings.tls.key_file;
    return peers->Load({settings.tls.ca_file, "", ""}, error);
}

int RtBenchWorkload::Run(const RtBenchSettings &settings, int runNumber, RtBenchRecord *record,
                         std::string *error) {
    const Defaults &defaults = DefaultsOf(settings.workload);
    record->Add("workload", settings.workload);
    record->Add("run", static_cast<int64_t>(runNumber));
    record->Add("transport", settings.tls.enabled ? "tls" : "plain");
    RtBenchDatabase database;
    if (!database.Open(settings.database)) {
        *error = "cannot connect to the database " + settings.database.name + " at " +
                 settings.database.host + ":" + std::to_string(settings.database.port);
        return kRtBenchExitSetup;
    }
    const std::string prefix = Prefix(settings.workload, runNumber);
    int status = kRtBenchExitSetup;
    if (settings.workload == "dbstorm") {
        // Starts a router of its own, behind the database proxy.
        status = RtBenchRunDatabaseStorm(settings, prefix, record, error) ? kRtBenchExitOk
                                                                          : kRtBenchExitFailed;
    } else if (settings.workload == "peerspage") {
        status = RtBenchRunPeersPage(settings, prefix, record, error) ? kRtBenchExitOk
                                                                      : kRtBenchExitFailed;
    } else {
        RtBenchRouter router;
        RtRouterTls routerTls;
        RtPeerTlsContext peerTls;
        if (!RtBenchTlsSetup(settings, &routerTls, &peerTls, error)) {
            return kRtBenchExitSetup;
        }
        const bool hub = settings.workload.rfind("hub", 0) == 0;
        const bool crowd = defaults.messages == 0 && !hub && settings.workload != "bigslow";
        const std::string routerTimeline = SeriesPath(settings, runNumber, "router");
        if (crowd && !settings.series_dir.empty()) {
            router.SetEnvironment("RT_SERVER_TIMELINE", routerTimeline);
        }
        Clock::time_point crowdStart;
        if (router.Start(settings.router_binary, settings.database, settings.work_dir, 60000, error,
                         routerTls)) {
            const bool ok =
                hub ? RtBenchRunHub(router.PlainPort(), settings.workload == "hubslow", prefix,
                                    settings.time_bound_seconds, &database, record, error)
                : settings.workload == "bigslow"
                    ? RtBenchRunBigSlow(&router, Pick(settings.peers, defaults.peers), prefix,
                                        settings.time_bound_seconds, record, error)
                : defaults.messages > 0
                    ? RunTraffic(settings, runNumber, defaults, &router, peerTls.Get(), prefix,
                                 record, error)
                    : RunCrowd(settings, runNumber, defaults, &router, peerTls.Get(), prefix,
                               &database, record, &crowdStart, error);
            status = ok ? kRtBenchExitOk : kRtBenchExitFailed;
            // The router writes its own timeline when it stops.
            router.Stop();
            if (ok && crowd && !settings.series_dir.empty()) {
                WriteRouterTimeline(routerTimeline, crowdStart,
                                    SeriesPath(settings, runNumber, "inside"));
            }
        }
    }
    database.RemoveRows(prefix);
    return status;
}
