#include "rt_server/rt_server_application.h"

#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <thread>

#include "bd_common/bd_common_server_config.h"
#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_common/bd_util.h"
#include "bd_database/bd_database.h"
#include "rt_server/rt_server_config.h"
#include "rt_server/rt_server_metrics.h"
#include "rt_server/rt_server_signals.h"
#include "rt_server/rt_server_timeline.h"

BD_LOG_SOURCE_FILE("rt_server_application")

namespace {

const char kProcessType[] = "router-server";
const char kLogName[] = "rt_server";
const int kLogDaysToKeep = 10;
const int kDatabaseAttempts = 60;
// Bounds one main-loop turn, so reaping and offline marking happen at least this often.
const int kEventWaitSeconds = 5;
// How long a stop waits for queued packets to go out, and then again for the offline marks to be
// written: long enough for a busy queue or a slow statement, short of a service manager's patience.
const std::chrono::milliseconds kStopGrace(3000);

RtDatabaseAddress WriterAddress() {
    BdCommonServerConfig *conf = BdCommonServerConfig::GetCommonConf();
    RtDatabaseAddress address;
    address.host = conf->GetDatabaseIP();
    address.user = conf->GetDatabaseUser();
    address.password = conf->GetDatabasePasswd();
    address.name = conf->GetDatabaseName();
    address.port = conf->GetDatabasePort();
    return address;
}

}  // namespace

RtServerApplication::~RtServerApplication() {
    delete _errorDescriber;
}

int RtServerApplication::main(int /*argc*/, char ** /*argv*/) {
    if (IsExit()) {
        std::exit(0);
    }
    // A closed listener released the log and the database; serve on with fresh ones. An image
    // that takes connections over needs none to serve them.
    if (_databaseReleased && !_handedOver) {
        const int rc = OpenLogAndDatabase();
        if (rc != BD_SUCCESS) {
            return rc;
        }
    }
    if (!LoadProcessUUID(kProcessType, &_routerUuid)) {
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "load router server uuid", "main");
        return BD_ERROR;
    }
    if (!_handoverRefused.empty()) {
        BD_LOG(BD_LOG_ERROR, BD_PARAMETER_INVALID,
               _handoverRefused +
                   ", started afresh: inherited connections closed, every peer marked offline",
               "main");
        _handoverRefused.clear();
    }
    // Nobody can be connected to a router that is only starting, unless they were handed over.
    if (!_handedOver) {
        const int offline = _databaseOperation.RtSetAllAgentAndModuleServerOffline();
        if (offline != BD_SUCCESS) {
            return offline;
        }
    }
    if (InitConnection() != BD_SUCCESS) {
        ForgetHandOver();
        return BD_ERROR;
    }
    if (_handedOver) {
        AdoptConnections();
        _handedOver.reset();
    }

    // A packet's log entry and trace line cost one write per turn instead of three per packet;
    // the manager writes them before it sends what a turn queued and before it waits, and looks at
    // the log's directory watch only after its wait reported an event.
    BdLog::GetLogger()->GatherOnThisThread();
    _connManager.WatchLogDirectory();
    _notifier.Ready(ServingStatus());
    g_rt_server_metrics.listening.store(true, std::memory_order_relaxed);
    StartMonitor();

    std::list<std::string> lost;
    for (;;) {
        _notifier.Alive();
        if (_notifier.StatusDue()) {
            _notifier.Status(ServingStatus());
        }
        PublishForMonitor();
        _connManager.CheckTimeout(&lost);
        // Queued behind every handshake write asked for before, and kept while the database is
        // away; the loop does not wait for it.
        _recordWriter->MarkOffline(&lost);
        _tlsListener.RetryIfDue(&_connManager);
        // While monitored, an idle loop turns every second so what it publishes stays fresh; a
        // service manager's watchdog and status line may ask for that too, and so does an upgrade
        // waiting for a quiet moment. A snapshot in slices goes on at once.
        _connManager.WaitAndHandleEvent(
            _monitor.Running() && g_rt_server_metrics.Building()
                ? 0
                : _notifier.WaitSeconds(_tlsListener.WaitSeconds(
                      _monitor.Running() || _upgradePhase == kHandingOver ? 1
                                                                          : kEventWaitSeconds)));
        if (RtServerSignals::StopRequested()) {
            StopServing(&lost);
            return BD_SUCCESS;
        }
        if (RtServerSignals::TakeReload()) {
            Reload();
        }
        if (RtServerSignals::TakeUpgrade()) {
            BeginUpgrade();
        }
        ContinueUpgrade();
        if (ListenerClosed()) {
            g_rt_server_metrics.listening.store(false, std::memory_order_relaxed);
            _monitor.Stop();
            CleanupConnection();
            CleanupDatabaseConnection();
            return BD_SOCKET_LISTEN_ERROR;
        }
    }
}

bool RtServerApplication::ListenerClosed() {
    // The manager owns the listener; should it ever have reaped it, the pointer is gone too.
    BdConnection *registered = nullptr;
    if (_connManager.QueryConnFromFD(_listenFd, &registered) != BD_SUCCESS ||
        registered != _listenConnection) {
        return true;
    }
    return _listenConnection->GetCloseFlag() == 1;
}

void RtServerApplication::StopServing(std::list<std::string> *lost) {
    // A second signal from here on ends the process at once.
    RtServerSignals::Release();
    BD_LOG(BD_LOG_DEBUG, 0, "stop signal received, rt_server stopping", "StopServing");
    _notifier.Stopping("stopping: sending queued packets");
    CloseListeners();
    // Nothing more is read, so the queues can only empty. In the last third of the grace only
    // the packets under way are finished: a peer then gets whole packets or none, and only one
    // that cannot take the rest of its packet within the grace is cut.
    _connManager.StopReading();
    const auto start = std::chrono::steady_clock::now();
    TurnWhile([this] { return _connManager.CountWritePending() > 0; }, start + kStopGrace * 2 / 3,
              lost);
    _connManager.FinishPacketsInFlight();
    TurnWhile(
        [this] {
            // Each packet under way is offered to its socket every few milliseconds.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return _connManager.OfferPacketsInFlight() > 0;
        },
        start + kStopGrace, lost);
    const size_t cut = _connManager.OfferPacketsInFlight();
    BD_LOG(cut > 0 ? BD_LOG_ERROR : BD_LOG_DEBUG, cut > 0 ? BD_SOCKET_TIMEOUT : 0,
           "stop grace over, peers cut in the middle of a packet: " + std::to_string(cut),
           "StopServing");
    _notifier.Status("stopping: marking peers offline");
    lost->splice(lost->end(), _connManager.BoundUuids());
    _monitor.Stop();
    // Peers hear the close now, not after the database; handshakes still waiting forget theirs.
    _connManager.Destroy();
    // Queued behind every row asked for before, so a peer's late handshake does not end online.
    _recordWriter->MarkOffline(lost);
    if (!_recordWriter->WaitUntilWritten(std::chrono::steady_clock::now() + kStopGrace)) {
        BD_LOG(BD_LOG_ERROR, RT_DATABASE_OPERATION_ERROR,
               "offline marks not written before the stop, the next start marks every peer "
               "offline",
               "StopServing");
    }
    CleanupConnection();
    g_rt_server_timeline.Write();
    BD_LOG(BD_LOG_DEBUG, 0, "rt_server stopped", "StopServing");
    CleanupDatabaseConnection();
    ReleaseRunningLock();
    _stopped = true;
}

void RtServerApplication::TurnWhile(const std::function<bool()> &busy,
                                    std::chrono::steady_clock::time_point deadline,
                                    std::list<std::string> *lost) {
    while (busy() && std::chrono::steady_clock::now() < deadline) {
        _connManager.CheckTimeout(lost);
        _recordWriter->MarkOffline(lost);
        _connManager.WaitAndHandleEvent(1);
    }
}

void RtServerApplication::CloseListeners() {
    RtServerListenConnection *tls = _tlsListener.Listener();
    if (tls != nullptr && tls != _listenConnection) {
        _connManager.DelConnByFD(tls->GetFD());
    }
    _tlsListener.Forget();
    _connManager.DelConnByFD(_listenFd);
    _listenConnection = nullptr;
    _listenFd = -1;
    g_rt_server_metrics.listening.store(false, std::memory_order_relaxed);
}

void RtServerApplication::StartMonitor() {
    const int port = g_rt_server_conf.GetMonitorPort();
    if (port <= 0 || _monitor.Running()) {
        return;
    }
    if (!_monitor.Start(g_rt_server_conf.GetMonitorIP(), port)) {
        BD_LOG(BD_LOG_ERROR, BD_SOCKET_BIND_ERROR,
               "monitor listener failed on " + g_rt_server_conf.GetMonitorIP() + ":" +
                   std::to_string(port),
               "StartMonitor");
        return;
    }
    // The first figures are there before the first request.
    g_rt_server_metrics.BeginSnapshot(&_connManager);
    while (!g_rt_server_metrics.ContinueSnapshot(&_connManager, _recordWriter->Writer())) {
    }
    _nextPublishSecond = BdTime::Now(BdTime::kMonotonicClock).ToSecond() + 1;
}

void RtServerApplication::PublishForMonitor() {
    if (!_monitor.Running()) {
        return;
    }
    const int64_t now = BdTime::Now(BdTime::kMonotonicClock).ToSecond();
    if (!g_rt_server_metrics.Building()) {
        if (now < _nextPublishSecond) {
            return;
        }
        _nextPublishSecond = now + 1;
        g_rt_server_metrics.BeginSnapshot(&_connManager);
    }
    g_rt_server_metrics.ContinueSnapshot(&_connManager, _recordWriter->Writer());
}

std::string RtServerApplication::ServingStatus() {
    return std::to_string(_connManager.CountBoundPeers()) + " peers registered, " +
           (_connManager.GetServerReadyFlag() == 1 ? "server platform present"
                                                   : "no server platform");
}

int RtServerApplication::GlobalInit() {
    // An image executed by an upgrade that takes the connections over keeps the mask it
    // inherited, so a signal sent during the exec waits for its loop instead of ending the
    // process. One that starts afresh waits for the database as a first start does, where a stop
    // signal ends it at once (one pending since the exec too); a reload or an upgrade asked for
    // during the exec is still served once it serves.
    if (_executedByUpgrade && !_handedOver) {
        RtServerSignals::KeepPendingRequests();
    }
    if (!_handedOver) {
        IgnoreSignal();
    }
    // Until the database is there a stop signal still ends the process at once. An image that
    // takes connections over serves them at once, whether the database answers or not: only the
    // writer's threads use it from then on, and the start-up mark is not made.
    int rc = BD_SUCCESS;
    if (_handedOver) {
        OpenLog();
        _databaseReleased = true;
    } else {
        rc = OpenLogAndDatabase();
    }
    RtServerSignals::Block();
    return rc;
}

void RtServerApplication::OpenLog() {
    if (_errorDescriber == nullptr) {
        _errorDescriber = new RtServerError();
    }
    // A logger that is still open ignores this.
    BdLog::GetLogger()->Init(kLogName, BdCommonServerConfig::GetCommonConf()->GetLogDir(),
                             _errorDescriber, false, kLogDaysToKeep);
}

int RtServerApplication::OpenLogAndDatabase() {
    OpenLog();
    const int rc = InitDatabaseConnection();
    _databaseReleased = rc != BD_SUCCESS;
    return rc;
}

int RtServerApplication::GlobalCleanup() {
    return CleanupDatabaseConnection();
}

int RtServerApplication::InitDatabaseConnection() {
    bool connected = false;
    for (int attempt = 0; attempt < kDatabaseAttempts && !connected; ++attempt) {
        BdCommonServerConfig *conf = BdCommonServerConfig::GetCommonConf();
        connected = g_database_conn.Init(conf->GetDatabaseIP(), conf->GetDatabaseUser(),
                                         conf->GetDatabasePasswd(), conf->GetDatabaseName(),
                                         conf->GetDatabasePort(), BdDatabase::kMysql) == 1;
        if (!connected) {
            BD_LOG(BD_LOG_DEBUG, 0, "database server not ready", "");
            BdUtil::BdSleep(1);
        }
    }
    if (!connected) {
        BD_LOG(BD_LOG_ERROR, BD_DATABASE_INIT_ERROR,
               "system connect to database failed, service exit", "InitDatabaseConnection");
        return BD_DATABASE_INIT_ERROR;
    }
    if (!_databaseOperation.Init(&g_database_conn)) {
        BD_LOG(BD_LOG_ERROR, BD_DATABASE_INIT_ERROR, "database server not ready",
               "InitDatabaseConnection");
        return BD_DATABASE_INIT_ERROR;
    }
    return BD_SUCCESS;
}

int RtServerApplication::CleanupDatabaseConnection() {
    _databaseOperation.Destroy();
    g_database_conn.Destroy();
    BdLog::FreeLogger();
    delete _errorDescriber;
    _errorDescriber = nullptr;
    _databaseReleased = true;
    return BD_SUCCESS;
}

int RtServerApplication::InitConnection() {
    _connManager.Init();
    // Served with the four signals blocked and nothing reading them, the router could be stopped
    // by SIGKILL only.
    if (!RtServerSignals::Register(&_connManager)) {
        const std::string why = std::strerror(errno);
        CleanupConnection();
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "signal descriptor set-up failed: " + why, "InitConnection");
        return BD_ERROR;
    }
    _connManager.SetCurrentProcessUUID(_routerUuid);
    g_rt_server_timeline.Start();
    // From here on the database is written by the writer's threads only.
    _recordWriter = std::make_unique<RtThreadedRecordWriter>(WriterAddress());
    // /healthz tells whether the database answers, also while nothing is written.
    _recordWriter->SetIdleProbe(g_rt_server_conf.GetMonitorPort() > 0);
    if (_handedOver) {
        _recordWriter->TakeOver(std::move(_handedOver->writer));
    }
    if (_recordWriter->Start(&_connManager) != BD_SUCCESS) {
        CleanupConnection();
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "database writer start failed", "InitConnection");
        return BD_ERROR;
    }
    _tlsListener.SetRecordWriter(_recordWriter.get());
    _addressQuota.SetMost(g_rt_server_conf.GetMaxConnectionsPerAddress());
    RtServerListenConnection::SetAddressQuota(&_addressQuota);
    _connManager.SetMaxUuidsPerConnection(g_rt_server_conf.GetMaxUuidsPerConnection());
    _connManager.SetQueueBudget(static_cast<int64_t>(g_rt_server_conf.GetQueueBudgetMiB()) << 20);
    if (_handedOver) {
        const int rc = AdoptListeners();
        if (rc != BD_SUCCESS) {
            CleanupConnection();
        }
        return rc;
    }
    if (!g_rt_server_conf.GetPlainListen()) {
        // Nothing else would serve: a TLS listener that cannot start fails this entry, which the
        // process tries again a second later.
        const int rc = _tlsListener.Start(&_connManager);
        if (rc != BD_SUCCESS) {
            CleanupConnection();
            return rc;
        }
        _listenConnection = _tlsListener.Listener();
        _listenFd = _listenConnection->GetFD();
        return BD_SUCCESS;
    }

    const int failure = RtServerListenConnection::Open(
        &_connManager, g_rt_server_conf.GetListenIP(), g_rt_server_conf.GetListenPort(), nullptr,
        _recordWriter.get(), &_listenConnection);
    if (failure != BD_SUCCESS) {
        _connManager.Destroy();
        _recordWriter.reset();
        BD_LOG(BD_LOG_ERROR, failure,
               failure == BD_SOCKET_BIND_ERROR ? "socket bind error" : "socket listen error",
               "InitConnection");
        return failure;
    }
    _listenFd = _listenConnection->GetFD();
    if (_tlsListener.Wanted()) {
        _tlsListener.Start(&_connManager);
    }
    return BD_SUCCESS;
}

int RtServerApplication::CleanupConnection() {
    // The connections forget their waiting handshakes while the writer still exists.
    _connManager.Destroy();
    _recordWriter.reset();
    _tlsListener.Forget();
    _listenConnection = nullptr;
    _listenFd = -1;
    return BD_SUCCESS;
}
