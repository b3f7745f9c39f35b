#include "rt_server/rt_server_application.h"

#include <sys/epoll.h>

#include <cstdlib>
#include <list>

#include "bd_common/bd_common_server_config.h"
#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_common/bd_util.h"
#include "bd_database/bd_database.h"
#include "rt_server/rt_server_config.h"

BD_LOG_SOURCE_FILE("rt_server_application")

namespace {

const char kProcessType[] = "router-server";
const char kLogName[] = "rt_server";
const int kLogDaysToKeep = 10;
const int kDatabaseAttempts = 60;
// Bounds one main-loop turn, so reaping and offline marking happen at least this often.
const int kEventWaitSeconds = 5;

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
    delete error_describer_;
}

int RtServerApplication::main(int /*argc*/, char ** /*argv*/) {
    if (IsExit())
        std::exit(0);
    // A closed listener released the log and the database; serve on with fresh ones.
    if (database_released_) {
        const int rc = OpenLogAndDatabase();
        if (rc != BD_SUCCESS)
            return rc;
    }
    if (!LoadProcessUUID(kProcessType, &router_uuid_)) {
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "load router server uuid", "main");
        return BD_ERROR;
    }
    // Nobody can be connected to a router that is only starting.
    const int offline = database_operation_.RtSetAllAgentAndModuleServerOffline();
    if (offline != BD_SUCCESS)
        return offline;
    if (InitConnection() != BD_SUCCESS)
        return BD_ERROR;

    // A packet's log entry and trace line cost one write per turn instead of three per packet;
    // the manager writes them before it sends what a turn queued and before it waits.
    BdLog::GetLogger()->GatherOnThisThread();
    std::list<std::string> lost;
    for (;;) {
        conn_manager_.CheckTimeout(&lost);
        // Queued behind every handshake write asked for before, and kept while the database is
        // away; the loop does not wait for it.
        record_writer_->MarkOffline(&lost);
        tls_listener_.RetryIfDue(&conn_manager_);
        conn_manager_.WaitAndHandleEvent(tls_listener_.WaitSeconds(kEventWaitSeconds));
        if (ListenerClosed()) {
            CleanupConnection();
            CleanupDatabaseConnection();
            return BD_SOCKET_LISTEN_ERROR;
        }
    }
}

bool RtServerApplication::ListenerClosed() {
    // The manager owns the listener; should it ever have reaped it, the pointer is gone too.
    BdConnection *registered = nullptr;
    if (conn_manager_.QueryConnFromFD(listen_fd_, &registered) != BD_SUCCESS ||
        registered != listen_connection_) {
        return true;
    }
    return listen_connection_->GetCloseFlag() == 1;
}

int RtServerApplication::GlobalInit() {
    IgnoreSignal();
    return OpenLogAndDatabase();
}

int RtServerApplication::OpenLogAndDatabase() {
    if (error_describer_ == nullptr)
        error_describer_ = new RtServerError();
    // A logger that is still open ignores this.
    BdLog::GetLogger()->Init(kLogName, BdCommonServerConfig::GetCommonConf()->GetLogDir(),
                             error_describer_, false, kLogDaysToKeep);
    const int rc = InitDatabaseConnection();
    database_released_ = rc != BD_SUCCESS;
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
    if (!database_operation_.Init(&g_database_conn)) {
        BD_LOG(BD_LOG_ERROR, BD_DATABASE_INIT_ERROR, "database server not ready",
               "InitDatabaseConnection");
        return BD_DATABASE_INIT_ERROR;
    }
    return BD_SUCCESS;
}

int RtServerApplication::CleanupDatabaseConnection() {
    database_operation_.Destroy();
    g_database_conn.Destroy();
    BdLog::FreeLogger();
    delete error_describer_;
    error_describer_ = nullptr;
    database_released_ = true;
    return BD_SUCCESS;
}

int RtServerApplication::InitConnection() {
    conn_manager_.Init();
    conn_manager_.SetCurrentProcessUUID(router_uuid_);
    // From here on the database is written by the writer's thread only.
    record_writer_ = std::make_unique<RtThreadedRecordWriter>(WriterAddress());
    if (record_writer_->Start(&conn_manager_) != BD_SUCCESS) {
        CleanupConnection();
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "database writer start failed", "InitConnection");
        return BD_ERROR;
    }
    tls_listener_.SetRecordWriter(record_writer_.get());
    if (!g_rt_server_conf.GetPlainListen()) {
        // Nothing else would serve: a TLS listener that cannot start fails this entry, which the
        // process tries again a second later.
        const int rc = tls_listener_.Start(&conn_manager_);
        if (rc != BD_SUCCESS) {
            CleanupConnection();
            return rc;
        }
        listen_connection_ = tls_listener_.Listener();
        listen_fd_ = listen_connection_->GetFD();
        return BD_SUCCESS;
    }

    const int failure = RtServerListenConnection::Open(
        &conn_manager_, g_rt_server_conf.GetListenIP(), g_rt_server_conf.GetListenPort(), nullptr,
        record_writer_.get(), &listen_connection_);
    if (failure != BD_SUCCESS) {
        conn_manager_.Destroy();
        record_writer_.reset();
        BD_LOG(BD_LOG_ERROR, failure,
               failure == BD_SOCKET_BIND_ERROR ? "socket bind error" : "socket listen error",
               "InitConnection");
        return failure;
    }
    listen_fd_ = listen_connection_->GetFD();
    if (tls_listener_.Wanted())
        tls_listener_.Start(&conn_manager_);
    return BD_SUCCESS;
}

int RtServerApplication::CleanupConnection() {
    // The connections forget their waiting handshakes while the writer still exists.
    conn_manager_.Destroy();
    record_writer_.reset();
    tls_listener_.Forget();
    listen_connection_ = nullptr;
    listen_fd_ = -1;
    return BD_SUCCESS;
}
