#ifndef RT_SERVER_RT_SERVER_APPLICATION_H_
#define RT_SERVER_RT_SERVER_APPLICATION_H_

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "bd_common/bd_application.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "rt_server/rt_address_quota.h"
#include "rt_server/rt_database_operation.h"
#include "rt_server/rt_server_accepted_connection.h"
#include "rt_server/rt_server_config_files.h"
#include "rt_server/rt_server_error.h"
#include "rt_server/rt_server_listen_connection.h"
#include "rt_server/rt_server_monitor.h"
#include "rt_server/rt_server_service_notifier.h"
#include "rt_server/rt_server_tls_listener.h"
#include "rt_server/rt_server_upgrade.h"
#include "rt_server/rt_threaded_record_writer.h"

// The router process: one object, a local of main that lives as long as the process. It owns the
// connection manager (and through it every connection), the database operation of start-up, the
// record writer with its thread, the listening connection until the manager takes it over, and the
// error describer handed to the logger. Everything but the record writer's thread runs on the main
// thread; after start-up the main thread never waits on the database.
//
// SIGTERM and SIGINT stop it cleanly (see RtServerSignals): the listeners close, queued
// packets get a few seconds to go out, every peer it holds is marked offline through the record
// writer (after the writes asked for before), which gets a few seconds more to write them; then
// the database, the log and the pid lock are released, main returns and Stopped() is true.
//
// SIGHUP reads the configuration again between two turns (see Reload).
//
// With a monitor port configured, a monitoring listener (RtServerMonitor) runs in a thread of its
// own. The main loop publishes for it, at most once a second, a copy of what its connections and
// the record writer hold (a periodically refreshed snapshot rather than a request over a
// descriptor: one walk a second costs the loop less than answering each request), and the writer
// asks an idle database whether it answers.
class RtServerApplication : public BdApplication {
  public:
    RtServerApplication() = default;
    ~RtServerApplication() override;
    // A copy would free the error describer twice and share the manager's connections.
    RtServerApplication(const RtServerApplication &) = delete;
    RtServerApplication &operator=(const RtServerApplication &) = delete;

    // One entry of the router's work: load the UUID, mark every peer offline, listen, and run the
    // main loop until the listening connection closes. BD_ERROR when the UUID or the listening
    // socket fails, RT_DATABASE_OPERATION_ERROR when marking peers offline fails,
    // BD_SOCKET_LISTEN_ERROR when the listener closed. Ends the process with status 0 when help or
    // version was shown.
    int main(int argc, char **argv) override;

    // Blocks SIGPIPE, opens the log and connects to the database: 0 or InitDatabaseConnection's
    // code.
    int GlobalInit();
    int GlobalCleanup();
    // Opens, binds and registers the listening sockets: 0, BD_SOCKET_BIND_ERROR or
    // BD_SOCKET_LISTEN_ERROR, or BD_ERROR when the TLS listener is the only one and cannot load
    // its files. With a plain listener, a TLS one that cannot start is retried from the main loop.
    int InitConnection();
    int CleanupConnection();
    // Up to 60 attempts a second apart: 0, or 7 when the database stays unreachable.
    int InitDatabaseConnection();
    int CleanupDatabaseConnection();
    // True once a stop signal was served: the process is to end with status 0.
    bool Stopped() const { return _stopped; }
    // In an image executed by an upgrade, before the pid lock is taken again: takes the state
    // handed over. One that is not understood leaves a fresh start (every inherited connection
    // closed, every peer marked offline), with an error entry once the log is open.
    void TakeHandOver();

  private:
    // SIGHUP, from the main loop: both files read and checked again; an invalid one changes
    // nothing. What can change live takes effect (TLS files, limits, queue budget, monitoring
    // listener); a changed key that cannot is named in an error entry and keeps its old value.
    void Reload();
    void ApplyReloaded(RtServerConfigFiles *files);
    // SIGUSR2, from the main loop: the binary at the router's path must pass --check-config (on a
    // thread of its own, whose outcome comes back through Post); then, between two turns at which
    // no connection is half-way closed (no TLS connection left: those are closed, their peers
    // reconnect; no UUIDs of a closed one still to hand to the writer), the listeners, every
    // connection with the handshakes waiting for their answers, and what the database writer has
    // not finished are handed to the new binary executed in this process. Without such a moment
    // within a few seconds the upgrade is put off; a failed check or exec leaves the router
    // serving; each with an error entry.
    void BeginUpgrade();
    void OnUpgradeChecked(bool passed, const std::string &output);
    void ContinueUpgrade();
    bool UpgradeQuiet();
    void HandOver();
    std::vector<RtServerAcceptedConnection *> AcceptedConnections();
    // The new image's side: the listeners, then the connections with their bindings, buffers and
    // queues, instead of listening and marking every peer offline.
    int AdoptListeners();
    void AdoptConnections();
    // Closes what was handed over and not taken (a failed entry starts afresh).
    void ForgetHandOver();
    // The clean stop, from the main loop; lost holds the peers reaped but not yet handed over.
    void StopServing(std::list<std::string> *lost);
    // Closes the listening sockets (the TLS one too) while the other connections stay.
    void CloseListeners();
    // Turns the loop (reaping and marking offline as usual) while busy() holds, until deadline.
    void TurnWhile(const std::function<bool()> &busy,
                   std::chrono::steady_clock::time_point deadline, std::list<std::string> *lost);
    // The monitoring listener, when one is configured; a failure leaves the router serving.
    void StartMonitor();
    // Refreshes what the monitoring thread reads, when a second has passed.
    void PublishForMonitor();
    // The log and the database side, opened by GlobalInit and again by an entry of main that
    // follows a closed listener (which released them) or a hand-over not taken.
    void OpenLog();
    int OpenLogAndDatabase();
    // True once the listening connection is closed or no longer registered.
    bool ListenerClosed();
    // The service manager's one-line view: registered peers, readiness.
    std::string ServingStatus();

    // Started with the listeners, stopped after the manager has destroyed its connections.
    // Declared before everything that points at it (the manager's connections, the TLS
    // listener), so that they are gone before it is.
    std::unique_ptr<RtThreadedRecordWriter> _recordWriter;
    RtDatabaseOperation _databaseOperation;
    BdConnManager _connManager;
    // The listener whose closing ends the main loop: the plain one, or the TLS one when the
    // plain listener is switched off. Owned by _connManager once added.
    RtServerListenConnection *_listenConnection = nullptr;
    RtServerTlsListener _tlsListener;
    // Outlives every accepted connection, which gives its place back when destroyed.
    RtAddressQuota _addressQuota;
    int _listenFd = -1;
    std::string _routerUuid;
    RtServerError *_errorDescriber = nullptr;  // owned; the logger only borrows it
    RtServerServiceNotifier _notifier;
    RtServerMonitor _monitor;
    int64_t _nextPublishSecond = 0;  // BdTime::kMonotonicClock
    // True while the log and the database are closed and must be reopened before serving.
    bool _databaseReleased = false;
    bool _stopped = false;
    // The upgrade in place (see BeginUpgrade); the state handed to this image, until taken.
    enum UpgradePhase { kNoUpgrade, kChecking, kHandingOver };
    UpgradePhase _upgradePhase = kNoUpgrade;
    std::chrono::steady_clock::time_point _upgradeDeadline;
    RtServerUpgrade _upgrade;
    std::unique_ptr<RtHandoverState> _handedOver;
    std::string _handoverRefused;  // why a state handed over was not taken; logged once
    bool _executedByUpgrade = false;
};

#endif  // RT_SERVER_RT_SERVER_APPLICATION_H_
