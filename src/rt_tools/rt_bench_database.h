#ifndef RT_TOOLS_RT_BENCH_DATABASE_H_
#define RT_TOOLS_RT_BENCH_DATABASE_H_

#include <string>

#include "bd_database/bd_database.h"
#include "rt_tools/rt_router_setup.h"

// The benchmark's own connection to the router's database: counts rows and removes a run's rows
// afterwards. One thread.
class RtBenchDatabase {
  public:
    bool Open(const RtRouterDatabase &address);
    // The single number a COUNT statement returns; -1 on failure.
    long Count(const std::string &sql);
    // Removes the rows of peers whose UUIDs start with prefix.
    void RemoveRows(const std::string &prefix);

  private:
    BdDatabase _connection;
};

#endif  // RT_TOOLS_RT_BENCH_DATABASE_H_
