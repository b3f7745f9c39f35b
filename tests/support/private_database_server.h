#ifndef TESTS_SUPPORT_PRIVATE_DATABASE_SERVER_H_
#define TESTS_SUPPORT_PRIVATE_DATABASE_SERVER_H_

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"
#include "support/test_database.h"

// A MariaDB of a test's own, for tests that stop, restart or freeze the server and so must not use
// the shared one. Started through scripts/private-db.sh in a fresh temporary directory (schema
// loaded); a restart reuses the data and the port, so clients can reconnect to the same address.
// Stopped and removed with the object. Not copyable; one thread.
class PrivateDatabaseServer {
  public:
    PrivateDatabaseServer() = default;
    ~PrivateDatabaseServer();
    PrivateDatabaseServer(const PrivateDatabaseServer &) = delete;
    PrivateDatabaseServer &operator=(const PrivateDatabaseServer &) = delete;

    // Starts the server (again); false when it did not come up.
    bool Start();
    // Shuts the server down and waits until it has gone.
    void Stop();
    // Kills the server outright (SIGKILL), as a crash would, and waits until it has gone.
    void Kill();
    // Freezes (SIGSTOP, returning once the server is stopped) and thaws (SIGCONT) the server: it
    // keeps its port but answers nothing.
    void Freeze();
    void Thaw();

    const TestDatabaseAddress &Address() const { return _address; }

  private:
    TempDir _dir;
    TestDatabaseAddress _address;
    pid_t _pid = -1;
};

#endif  // TESTS_SUPPORT_PRIVATE_DATABASE_SERVER_H_
