#include "rt_tools/rt_bench_db_storm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_bench_connection.h"
#include "rt_tools/rt_bench_database.h"
#include "rt_tools/rt_bench_pair.h"
#include "rt_tools/rt_bench_router.h"
#include "rt_tools/rt_delay_proxy.h"
#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_peer_client.h"
#include "rt_tools/rt_peer_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

// peerspage: each phase (the figures published alone, then the page fetched) lasts this long, and
// the page is fetched at least this often.
const int kPeersPagePhaseSeconds = 3;
const int kPeersPageFetches = 5;

// Occurrences of what in text.
size_t Count(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// An agent refused with server-not-ready asks again after this long.
const int kRetryMilliseconds = 250;
// Waits until count rows of agents named with prefix are online: false with *error at deadline.
bool WaitOnline(RtBenchDatabase *database, const std::string &prefix, int count,
                Clock::time_point deadline, std::string *error) {
    const std::string online =
        "SELECT COUNT(*) FROM bd_agent WHERE agent_uuid LIKE '" + prefix + "%' AND online_flag = 1";
    while (database->Count(online) != count) {
        if (Clock::now() > deadline) {
            *error = "rows not online at the time bound";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// One client of the crowd and what happened to it.
struct Agent {
    RtBenchConnection connection;
    Clock::time_point asked;
    Clock::time_point retry_at;
    bool waiting = false;  // a handshake is out
    bool retrying = false;
    bool done = false;
};

struct CrowdFigures {
    Clock::time_point all_answered;
    Clock::time_point first_not_ready;
    bool any_not_ready = false;
    double longest_not_ready_ms = 0;  // asked after the first one: how fast a refusal came
    int closed = 0;
};

class Crowd {
  public:
    // tls: the peers' context (not owned), or null for plain TCP.
    Crowd(int port, SSL_CTX *tls, const std::string &prefix, int count) : _port(port), _tls(tls) {
        for (int i = 0; i < count; ++i) {
            _agents.push_back(std::make_unique<Agent>());
            _agents.back()->connection.uuid = prefix + std::to_string(i);
        }
    }

    // Connects everyone at once and runs until all are answered with success, or until deadline.
    bool Run(Clock::time_point deadline, CrowdFigures *figures, std::string *error) {
        for (size_t i = 0; i < _agents.size(); ++i) {
            if (!_agents[i]->connection.StartConnect(_port, _tls) ||
                !_poller.Add(&_agents[i]->connection, i, true)) {
                *error = "cannot open connection " + std::to_string(i);
                return false;
            }
        }
        size_t pending = _agents.size();
        Clock::time_point keptAlive = Clock::now();
        std::vector<RtBenchPoller::Event> ready;
        while (pending > 0) {
            const Clock::time_point now = Clock::now();
            if (now > deadline) {
                *error = std::to_string(pending) + " clients unanswered at the time bound";
                return false;
            }
            const bool keepAlive =
                now - keptAlive > std::chrono::seconds(RtBenchPair::kKeepAliveSeconds);
            if (keepAlive) {
                keptAlive = now;
            }
            for (size_t i = 0; i < _agents.size(); ++i) {
                Agent &agent = *_agents[i];
                if (agent.retrying && now >= agent.retry_at) {
                    Ask(i, now);
                }
                if (keepAlive && agent.connection.connected) {
                    const RtPeerPacket alive = RtPeerPacket::KeepAlive();
                    agent.connection.Queue(alive.Data(), alive.Length());
                    Flush(i);
                }
            }
            _poller.Wait(10, &ready);
            for (const RtBenchPoller::Event &event : ready) {
                Agent &agent = *_agents[event.index];
                if (event.writable && !agent.connection.connected) {
                    if (!agent.connection.FinishConnect()) {
                        *error = "connection refused";
                        return false;
                    }
                    Ask(event.index, Clock::now());
                }
                if (event.writable) {
                    Flush(event.index);
                }
                if (event.readable && !agent.done && !Answer(event.index, figures, &pending)) {
                    ++figures->closed;
                    agent.done = true;
                    --pending;
                }
            }
        }
        figures->all_answered = Clock::now();
        return figures->closed == 0;
    }

  private:
    void Ask(size_t index, Clock::time_point now) {
        Agent &agent = *_agents[index];
        RtPeerIdentity identity;
        identity.uuid = agent.connection.uuid;
        identity.hostname = "bench-host";
        const RtPeerPacket handShake = RtPeerPacket::HandShake(kBdHandShakeClient, identity);
        agent.connection.Queue(handShake.Data(), handShake.Length());
        agent.asked = now;
        agent.waiting = true;
        agent.retrying = false;
        Flush(index);
    }
    void Flush(size_t index) {
        RtBenchConnection &connection = _agents[index]->connection;
        connection.Flush();
        _poller.Update(&connection, index, connection.HasOutput());
    }
    // Takes the agent's answers; false when the router closed it.
    bool Answer(size_t index, CrowdFigures *figures, size_t *pending) {
        Agent &agent = *_agents[index];
        if (agent.connection.ReadAvailable() != 0) {
            return false;
        }
        const char *data = nullptr;
        int length = 0;
        while (agent.connection.Input().Next(&data, &length) == 0) {
            const RtPeerPacket answer(std::vector<char>(data, data + length));
            const Clock::time_point now = Clock::now();
            if (answer.IsControl(kBdControlHandShakeSuccess)) {
                agent.done = true;
                --*pending;
            } else if (answer.IsControl(kBdControlServerNotReady)) {
                // Only handshakes asked once the database was known to be away count.
                if (figures->any_not_ready && agent.asked >= figures->first_not_ready) {
                    figures->longest_not_ready_ms =
                        std::max(figures->longest_not_ready_ms,
                                 RtBenchMillisecondsBetween(agent.asked, now));
                } else if (!figures->any_not_ready) {
                    figures->any_not_ready = true;
                    figures->first_not_ready = now;
                }
                agent.retrying = true;
                agent.retry_at = now + std::chrono::milliseconds(kRetryMilliseconds);
            }
            agent.waiting = false;
        }
        return true;
    }

    int _port;
    SSL_CTX *_tls;
    RtBenchPoller _poller;
    std::vector<std::unique_ptr<Agent>> _agents;
};

}  // namespace

bool RtBenchRegister(RtPeerClient *client, int port, int kind, const std::string &uuid) {
    RtPeerIdentity identity;
    identity.uuid = uuid;
    identity.node_uuid = "node-" + uuid;
    RtPeerPacket answer;
    return client->Connect("127.0.0.1", port) == 0 &&
           client->HandShake(kind, identity, &answer) == 0 &&
           answer.IsControl(kBdControlHandShakeSuccess);
}

bool RtBenchRunDatabaseStorm(const RtBenchSettings &settings, const std::string &prefix,
                             RtBenchRecord *record, std::string *error) {
    const int peers = settings.peers > 0 ? settings.peers : 2000;
    record->Add("peers", static_cast<int64_t>(peers));
    record->Add("db_delay_ms", static_cast<int64_t>(settings.db_delay_ms));
    record->Add("db_freeze_s", static_cast<int64_t>(settings.db_freeze_seconds));
    RtBenchDatabase database;
    RtDelayProxy proxy(settings.database.host, settings.database.port);
    if (!database.Open(settings.database) || !proxy.Start()) {
        *error = "cannot reach the database or start the proxy";
        return false;
    }
    proxy.SetDelayMilliseconds(settings.db_delay_ms);
    RtRouterDatabase throughProxy = settings.database;
    throughProxy.host = "127.0.0.1";
    throughProxy.port = proxy.Port();

    bool ok = false;
    {
        RtBenchRouter router;
        RtRouterTls routerTls;
        RtPeerTlsContext peerTls;
        RtPeerClient platform, ping, pong;
        if (!RtBenchTlsSetup(settings, &routerTls, &peerTls, error) ||
            !router.Start(settings.router_binary, throughProxy, settings.work_dir, 60000, error,
                          routerTls)) {
            return false;
        }
        // The platform and the pair stay on the plain port: what a TLS crowd costs them.
        const int plain = router.PlainPort();
        if (!RtBenchRegister(&platform, plain, kBdHandShakeServerPlatform, prefix + "platform") ||
            !RtBenchRegister(&ping, plain, kBdHandShakeClient, prefix + "ping") ||
            !RtBenchRegister(&pong, plain, kBdHandShakeClient, prefix + "pong")) {
            *error = "the platform or the pair could not register";
            return false;
        }
        RtBenchPair pair(&ping, &pong, &platform, prefix);
        pair.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const Clock::time_point start = Clock::now();
        const Clock::time_point deadline =
            start + std::chrono::seconds(settings.time_bound_seconds);
        std::atomic<bool> thawed{settings.db_freeze_seconds == 0};
        Clock::time_point thawedAt = start;
        std::thread thaw;
        if (settings.db_freeze_seconds > 0) {
            proxy.SetFrozen(true);
            thaw = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::seconds(settings.db_freeze_seconds));
                thawedAt = Clock::now();
                proxy.SetFrozen(false);
                thawed = true;
            });
        }
        const double cpuBefore = router.CpuSeconds();
        Crowd crowd(router.Port(), peerTls.Get(), prefix, peers);
        CrowdFigures figures;
        ok = crowd.Run(deadline, &figures, error);
        if (thaw.joinable()) {
            thaw.join();
        }
        const Clock::time_point since = settings.db_freeze_seconds > 0 ? thawedAt : start;
        // The crowd and the pair.
        ok = ok && WaitOnline(&database, prefix, peers + 2, deadline, error);
        const Clock::time_point allOnline = Clock::now();
        pair.Stop();

        record->Add("answered_s", RtBenchMillisecondsBetween(since, figures.all_answered) / 1000,
                    3);
        record->Add("online_s", RtBenchMillisecondsBetween(since, allOnline) / 1000, 3);
        if (settings.db_freeze_seconds > 0) {
            record->Add("first_refusal_s",
                        figures.any_not_ready
                            ? RtBenchMillisecondsBetween(start, figures.first_not_ready) / 1000
                            : -1.0,
                        3);
            record->Add("refusal_max_ms", figures.longest_not_ready_ms, 1);
        }
        // The pair's round trips cost the router too, a small share beside the crowd's.
        record->Add("router_cpu_ms_per_peer", (router.CpuSeconds() - cpuBefore) * 1000 / peers, 3);
        record->Add("pair_exchanges", static_cast<int64_t>(pair.Exchanges()));
        record->Add("pair_longest_pause_ms", pair.LongestPauseMs(), 1);
        record->Add("closed_by_router",
                    static_cast<int64_t>(figures.closed + (pair.Failed() ? 1 : 0)));
        if (pair.Failed()) {
            *error = "the ping-pong pair stopped";
            ok = false;
        }
    }
    database.RemoveRows(prefix);
    return ok;
}

bool RtBenchRunPeersPage(const RtBenchSettings &settings, const std::string &prefix,
                         RtBenchRecord *record, std::string *error) {
    const int peers = settings.peers > 0 ? settings.peers : 10000;
    record->Add("peers", static_cast<int64_t>(peers));
    RtBenchDatabase database;
    RtBenchRouter router;
    RtPeerClient platform, ping, pong;
    if (!database.Open(settings.database) ||
        !router.Start(settings.router_binary, settings.database, settings.work_dir, 60000, error,
                      RtRouterTls(), true)) {
        if (error->empty()) {
            *error = "cannot reach the database";
        }
        return false;
    }
    if (!RtBenchRegister(&platform, router.Port(), kBdHandShakeServerPlatform,
                         prefix + "platform") ||
        !RtBenchRegister(&ping, router.Port(), kBdHandShakeClient, prefix + "ping") ||
        !RtBenchRegister(&pong, router.Port(), kBdHandShakeClient, prefix + "pong")) {
        *error = "the platform or the pair could not register";
        return false;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(settings.time_bound_seconds);
    Crowd crowd(router.Port(), nullptr, prefix, peers);
    CrowdFigures figures;
    bool ok = crowd.Run(deadline, &figures, error) &&
              WaitOnline(&database, prefix, peers + 2, deadline, error);
    if (ok) {
        RtBenchPair pair(&ping, &pong, &platform, prefix);
        pair.Start();
        // First the loop's once-a-second figures alone, then with the page asked for again and
        // again: the pause each causes the pair.
        std::this_thread::sleep_for(std::chrono::seconds(kPeersPagePhaseSeconds));
        record->Add("pause_publishing_ms", pair.LongestPauseMs(), 1);
        pair.ResetLongestPause();
        double longestMs = 0, totalMs = 0;
        int fetches = 0;
        std::string page;
        const Clock::time_point pagesStart = Clock::now();
        while (ok && (fetches < kPeersPageFetches ||
                      Clock::now() - pagesStart < std::chrono::seconds(kPeersPagePhaseSeconds))) {
            const Clock::time_point asked = Clock::now();
            ok = RtHttpGet("127.0.0.1", router.MonitorPort(), "/peers", 30000, &page) == 200;
            const double ms = RtBenchMillisecondsBetween(asked, Clock::now());
            longestMs = std::max(longestMs, ms);
            totalMs += ms;
            ++fetches;
        }
        pair.Stop();
        // The page lists the pair and the platform too.
        const size_t listed = Count(page, "\"uuid\"");
        if (!ok || listed != static_cast<size_t>(peers) + 3) {
            *error = "the peers' page did not list every connection";
            ok = false;
        }
        record->Add("page_fetches", static_cast<int64_t>(fetches));
        record->Add("page_bytes", static_cast<int64_t>(page.size()));
        record->Add("page_mean_ms", fetches > 0 ? totalMs / fetches : 0, 1);
        record->Add("page_max_ms", longestMs, 1);
        record->Add("pause_with_pages_ms", pair.LongestPauseMs(), 1);
        if (pair.Failed()) {
            *error = "the ping-pong pair stopped";
            ok = false;
        }
    }
    database.RemoveRows(prefix);
    return ok;
}
