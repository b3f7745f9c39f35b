#include "rt_tools/rt_status_report.h"

#include <json/json.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "bd_common/bd_time.h"

namespace {

std::string Count(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", value);
    return text;
}

// One table row: fixed-width columns, the UUID last so a long one spoils nothing.
void Row(std::ostream &out, const std::string &kind, const std::string &address,
         const std::string &since, const std::string &in, const std::string &out_,
         const std::string &queued, const std::string &uuid) {
    char line[256];
    std::snprintf(line, sizeof(line), "%-14s %-15s %-19s %12s %12s %10s  %s\n", kind.c_str(),
                  address.c_str(), since.c_str(), in.c_str(), out_.c_str(), queued.c_str(),
                  uuid.c_str());
    out << line;
}

}  // namespace

std::map<std::string, double> RtParseMetrics(const std::string &page) {
    std::map<std::string, double> samples;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            continue;
        }
        samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    }
    return samples;
}

bool RtWriteStatusReport(const RtStatusPages &pages, std::ostream &out) {
    Json::Value peers;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream json(pages.peers);
    if (!Json::parseFromStream(builder, json, &peers, &errors) || !peers["peers"].isArray()) {
        return false;
    }
    std::map<std::string, double> m = RtParseMetrics(pages.metrics);
    auto get = [&m](const std::string &key) { return Count(m[key]); };

    out << "health: " << (pages.health_status == 200 ? "ok" : "FAILING: " + pages.health) << "\n";
    out << "peers bound: client " << get("rt_server_peers_bound{kind=\"client\"}")
        << ", module server " << get("rt_server_peers_bound{kind=\"module_server\"}")
        << ", platform " << get("rt_server_peers_bound{kind=\"platform\"}") << ", web "
        << get("rt_server_peers_bound{kind=\"web\"}") << "; connections " << peers["peers"].size()
        << "\n";
    out << "forwarded: " << get("rt_server_forwarded_packets_total{class=\"normal\"}")
        << " normal, " << get("rt_server_forwarded_packets_total{class=\"log\"}")
        << " log; answered target lost " << get("rt_server_target_lost_answers_total")
        << ", not ready " << get("rt_server_not_ready_answers_total") << "\n";
    out << "closed: idle " << get("rt_server_connections_closed_total{reason=\"idle\"}")
        << ", peer close " << get("rt_server_connections_closed_total{reason=\"peer_close\"}")
        << ", error " << get("rt_server_connections_closed_total{reason=\"error\"}")
        << ", write deadline "
        << get("rt_server_connections_closed_total{reason=\"write_deadline\"}") << ", replaced "
        << get("rt_server_connections_closed_total{reason=\"replaced\"}") << "\n";
    out << "queued: " << get("rt_server_write_queue_bytes") << " bytes, largest "
        << get("rt_server_write_queue_largest_bytes") << "\n";
    out << "database: " << (m["rt_server_database_available"] == 1 ? "available" : "UNAVAILABLE")
        << ", last answer " << get("rt_server_database_last_answer_age_seconds")
        << " s ago; batches " << get("rt_server_database_batches_total") << ", failed "
        << get("rt_server_database_batch_failures_total")
        << "; waiting: " << get("rt_server_database_queue{request=\"handshake\"}")
        << " handshakes, " << get("rt_server_database_queue{request=\"offline_mark\"}")
        << " offline marks\n\n";

    Row(out, "KIND", "ADDRESS", "CONNECTED SINCE", "PACKETS IN", "PACKETS OUT", "QUEUED", "UUID");
    for (const Json::Value &peer : peers["peers"]) {
        Row(out, peer["kind"].asString(), peer["address"].asString(),
            BdTime::Second(peer["connected_since"].asInt64()).ToDatetime(),
            peer["packets_in"].asString(), peer["packets_out"].asString(),
            peer["queued_bytes"].asString(), peer["uuid"].asString());
    }
    return true;
}
