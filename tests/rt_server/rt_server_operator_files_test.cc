// The files operators are given name only metrics the router exports: the Grafana dashboard's
// queries, the alert rules, and the table of docs/operations.md, which lists every family.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "rt_server/rt_server_monitor_pages.h"

#ifndef RT_SOURCE_DIR
#error "RT_SOURCE_DIR must name the source tree"
#endif

namespace {

std::string Read(const std::string &relative) {
    std::ifstream in(std::string(RT_SOURCE_DIR) + "/" + relative);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The metric families of /metrics, by their TYPE lines.
std::set<std::string> ExportedFamilies() {
    RtMonitorView view;
    view.metrics = &g_rt_server_metrics;
    view.snapshot = std::make_shared<RtServerSnapshot>();
    std::istringstream page(RtMetricsPage(view));
    std::set<std::string> families;
    for (std::string line; std::getline(page, line);) {
        std::smatch type;
        if (std::regex_search(line, type, std::regex("^# TYPE (\\S+) ")))
            families.insert(type[1]);
    }
    return families;
}

// Every rt_server_ metric name in text.
std::set<std::string> NamedIn(const std::string &text) {
    std::set<std::string> names;
    const std::regex name("rt_server_[a-z_]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
         it != std::sregex_iterator(); ++it)
        names.insert(it->str());
    return names;
}

TEST(RtServerOperatorFilesTest, EveryDashboardQueryNamesAnExportedMetric) {
    const std::set<std::string> exported = ExportedFamilies();
    ASSERT_GT(exported.size(), 15u);
    Json::Value dashboard;
    std::istringstream json(Read("docs/grafana/rt_server-dashboard.json"));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), json, &dashboard, nullptr));
    ASSERT_GT(dashboard["panels"].size(), 0u);
    for (const Json::Value &panel : dashboard["panels"]) {
        ASSERT_GT(panel["targets"].size(), 0u) << panel["title"];
        for (const Json::Value &target : panel["targets"]) {
            const std::set<std::string> names = NamedIn(target["expr"].asString());
            EXPECT_FALSE(names.empty()) << panel["title"] << ": " << target["expr"];
            for (const std::string &name : names)
                EXPECT_EQ(exported.count(name), 1u) << panel["title"] << ": " << name;
        }
    }
    for (const Json::Value &variable : dashboard["templating"]["list"])
        for (const std::string &name : NamedIn(variable["definition"].asString()))
            EXPECT_EQ(exported.count(name), 1u) << variable["name"] << ": " << name;
}

TEST(RtServerOperatorFilesTest, AlertRulesAndTheOperationsTableNameExportedMetricsOnly) {
    const std::set<std::string> exported = ExportedFamilies();
    const std::set<std::string> alerted = NamedIn(Read("docs/prometheus/rt_server-alerts.yml"));
    EXPECT_GE(alerted.size(), 6u);
    for (const std::string &name : alerted)
        EXPECT_EQ(exported.count(name), 1u) << name;
    // The table is complete both ways: each family is listed, and nothing else is.
    EXPECT_EQ(NamedIn(Read("docs/operations.md")), exported);
}

}  // namespace
