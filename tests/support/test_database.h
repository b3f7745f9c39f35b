#ifndef TESTS_SUPPORT_TEST_DATABASE_H_
#define TESTS_SUPPORT_TEST_DATABASE_H_

#include <cstdlib>
#include <string>

// Where the shared private MariaDB of the test run listens (scripts/private-db.sh exports RT_DB_*).
// Database tests skip when RT_DB_HOST is unset.
struct TestDatabaseAddress {
    std::string host;
    std::string user;
    std::string password;
    std::string name;
    int port = 0;

    // false when the environment names no database.
    static bool FromEnvironment(TestDatabaseAddress *address) {
        const char *host = std::getenv("RT_DB_HOST");
        if (host == nullptr || *host == '\0') {
            return false;
        }
        address->host = host;
        address->user = Get("RT_DB_USER");
        address->password = Get("RT_DB_PASSWORD");
        address->name = Get("RT_DB_NAME");
        address->port = std::atoi(Get("RT_DB_PORT").c_str());
        return true;
    }

  private:
    static std::string Get(const char *name) {
        const char *value = std::getenv(name);
        return value != nullptr ? value : "";
    }
};

#endif  // TESTS_SUPPORT_TEST_DATABASE_H_
