#ifndef RT_SERVER_RT_SERVER_TLS_LISTENER_H_
#define RT_SERVER_RT_SERVER_TLS_LISTENER_H_

#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_tls_context.h"
#include "rt_server/rt_server_config.h"
#include "rt_server/rt_server_listen_connection.h"

// The router's optional TLS listener, next to the plain one on the same address: its TLS context
// (the certificate and key at their fixed paths, the CA file of the configuration) and its
// listening connection. A start that fails (a file missing or damaged, the port taken) is logged
// with the file or port and the reason, and tried again a second later, at most kAttempts times,
// like the configuration; the plain listener serves meanwhile.
//
// Owned by the application; the listening connection, once registered, by the manager. Main
// thread only.
class RtServerTlsListener {
  public:
    static constexpr int kAttempts = 60;

    // True when the configuration names a TLS port.
    bool Wanted() const;
    // Loads the context and opens the listener on manager: 0, or BD_ERROR (files),
    // BD_SOCKET_BIND_ERROR or BD_SOCKET_LISTEN_ERROR,
    // logged. A failure schedules the next attempt.
    int Start(BdConnManager *manager);
    // Takes a listening socket handed over by the image this process ran before: 0, or BD_ERROR
    // when the TLS files cannot be loaded (logged; the socket is closed and a fresh start is
    // tried a second later, as after any failed start).
    int AdoptListener(BdConnManager *manager, int fd);
    // Once a main-loop turn: tries again when an attempt is due.
    void RetryIfDue(BdConnManager *manager);
    // How long the loop may wait for events before the next attempt falls due, at most usual.
    int WaitSeconds(int usual) const;
    // The registered listener, or null; the manager owns it.
    RtServerListenConnection *Listener() const { return _listener; }
    // The manager destroyed its connections: the listener is gone, and a fresh start is allowed.
    void Forget();
    // Reload: connections accepted from now on use context's certificate, key and CA, which this
    // listener takes over (context gets the old one); established sessions keep theirs. Without a
    // registered listener the next start loads the files itself.
    void UseContext(BdTlsServerContext *context);
    // The files and switches the configuration names.
    static BdTlsServerContext::Settings SettingsFor(const RtServerConfig &config);
    // The record writer of the connections the listener accepts (not owned); before Start.
    void SetRecordWriter(RtRecordWriter *writer) { _recordWriter = writer; }

  private:
    BdTlsServerContext _context;
    RtServerListenConnection *_listener = nullptr;  // owned by the manager once registered
    RtRecordWriter *_recordWriter = nullptr;        // not owned
    int _failures = 0;
    long _nextAttempt = 0;  // wall-clock second; 0 when no attempt is pending
};

#endif  // RT_SERVER_RT_SERVER_TLS_LISTENER_H_
