#ifndef RT_TOOLS_RT_STATUS_REPORT_H_
#define RT_TOOLS_RT_STATUS_REPORT_H_

#include <map>
#include <ostream>
#include <string>

// The router's monitoring pages as they were fetched.
struct RtStatusPages {
    int health_status = -1;  // HTTP status of /healthz
    std::string health;      // its one line
    std::string metrics;     // /metrics, Prometheus text
    std::string peers;       // /peers, JSON
};

// Every sample of a Prometheus text page, keyed by its name with its labels as written
// (rt_server_handshakes_total{result="ok",kind="client"}).
std::map<std::string, double> RtParseMetrics(const std::string &page);

// Writes the key counters and one table line per connection, for a person. false when the pages
// cannot be read (the table is then not written). Stateless; any thread.
bool RtWriteStatusReport(const RtStatusPages &pages, std::ostream &out);

#endif  // RT_TOOLS_RT_STATUS_REPORT_H_
