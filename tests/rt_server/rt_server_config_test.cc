#include "rt_server/rt_server_config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bd_xml/xml_test_file.h"

namespace {

class RtServerConfigTest : public testing::Test {
  protected:
    bool Load(const std::string &document) { return conf_.LoadConfigFile(dir_.Write(document)); }
    bool LoadPort(const std::string &port) {
        return Load("<rt><listen_ip>0.0.0.0</listen_ip><listen_port>" + port +
                    "</listen_port></rt>");
    }

    TempDir dir_;
    RtServerConfig conf_;
};

// Encodings are the reader's concern; a file with a mark and Windows line ends is enough here.
TEST_F(RtServerConfigTest, LoadsTheListenAddressAndIgnoresOtherKeys) {
    EXPECT_TRUE(
        Load("\xEF\xBB\xBF<rt_server>\r\n\t<listen_ip>127.0.0.1</listen_ip>\r\n"
             "\t<listen_port>9000</listen_port>\r\n\t<colour>blue</colour>\r\n"
             "</rt_server>\r\n"));
    EXPECT_EQ(conf_.GetListenIP(), "127.0.0.1");
    EXPECT_EQ(conf_.GetListenPort(), 9000);
}

TEST_F(RtServerConfigTest, PortMustBeAPositiveNumber) {
    EXPECT_FALSE(LoadPort("0"));
    EXPECT_FALSE(LoadPort("port"));
    EXPECT_FALSE(LoadPort("-1"));
    EXPECT_TRUE(LoadPort("65536"));  // no upper bound is applied
    EXPECT_TRUE(LoadPort(" 42x"));
    EXPECT_EQ(conf_.GetListenPort(), 42);
}

TEST_F(RtServerConfigTest, LimitsAreUnlimitedUnlessSetToAtLeastOne) {
    ASSERT_TRUE(LoadPort("9000"));
    EXPECT_EQ(conf_.GetMaxConnectionsPerAddress(), RtServerConfig::kUnlimited);
    EXPECT_EQ(conf_.GetMaxUuidsPerConnection(), RtServerConfig::kUnlimited);
    EXPECT_TRUE(
        Load("<rt><max_connections_per_address>3</max_connections_per_address>"
             "<max_uuids_per_connection>2</max_uuids_per_connection></rt>"));
    EXPECT_EQ(conf_.GetMaxConnectionsPerAddress(), 3);
    EXPECT_EQ(conf_.GetMaxUuidsPerConnection(), 2);

    RtServerConfig zero;
    EXPECT_FALSE(zero.LoadConfigFile(
        dir_.Write("<rt><listen_ip>0.0.0.0</listen_ip><listen_port>1</listen_port>"
                   "<max_uuids_per_connection>0</max_uuids_per_connection></rt>")));
}

TEST_F(RtServerConfigTest, EmptyElementBeforeTheAddressFailsTheFirstLoad) {
    EXPECT_FALSE(
        Load("<rt><note/><listen_ip>1.2.3.4</listen_ip><listen_port>1</listen_port></rt>"));
    EXPECT_EQ(conf_.GetListenIP(), "");
}

TEST_F(RtServerConfigTest, EarlierValuesSurviveALaterLoad) {
    ASSERT_TRUE(LoadPort("7000"));
    EXPECT_TRUE(Load("<rt><listen_port>7001</listen_port></rt>"));
    EXPECT_EQ(conf_.GetListenIP(), "0.0.0.0");
    EXPECT_EQ(conf_.GetListenPort(), 7001);
    // A document with no elements changes nothing and keeps the earlier verdict.
    EXPECT_TRUE(Load("not xml at all"));
}

TEST_F(RtServerConfigTest, DamagedFileStillYieldsWhatCanBeRead) {
    // A never-ended address reads as empty, which ends the load; a stray end tag is ignored.
    EXPECT_FALSE(Load("<rt><listen_ip>1.2.3.4<listen_port>5</listen_port></rt>"));
    EXPECT_TRUE(
        Load("<rt><listen_ip>1.2.3.4</listen_ip></stray><listen_port>5</listen_port></rt>"));
}

TEST_F(RtServerConfigTest, TlsSettingsAreOptionalAndCheckedWhenGiven) {
    ASSERT_TRUE(LoadPort("9000"));
    EXPECT_EQ(conf_.GetTlsListenPort(), 0);
    EXPECT_TRUE(conf_.GetPlainListen());
    EXPECT_FALSE(conf_.GetTlsRequirePeerCertificate());

    const std::string base = "<rt><listen_ip>0.0.0.0</listen_ip><listen_port>1</listen_port>";
    EXPECT_TRUE(Load(base + "<tls_listen_port>9443</tls_listen_port><tls_ca_file>/ca.pem" +
                     "</tls_ca_file><tls_require_peer_certificate>yes" +
                     "</tls_require_peer_certificate><plain_listen>no</plain_listen></rt>"));
    EXPECT_EQ(conf_.GetTlsListenPort(), 9443);
    EXPECT_EQ(conf_.GetTlsCaFile(), "/ca.pem");
    EXPECT_TRUE(conf_.GetTlsRequirePeerCertificate());
    EXPECT_FALSE(conf_.GetPlainListen());

    // Each refusal below is checked against a fresh object, since values survive a later load.
    const char *const refused[] = {
        "<tls_listen_port>tls</tls_listen_port></rt>",
        "<tls_listen_port>-5</tls_listen_port></rt>",
        "<plain_listen>off</plain_listen><tls_listen_port>1</tls_listen_port></rt>",
        "<plain_listen>no</plain_listen></rt>",  // nothing would listen
        "<tls_require_peer_certificate>yes</tls_require_peer_certificate></rt>",  // no CA
    };
    for (const char *tail : refused) {
        RtServerConfig fresh;
        EXPECT_FALSE(fresh.LoadConfigFile(dir_.Write(base + tail))) << tail;
    }
}

TEST_F(RtServerConfigTest, BadPathsAreReportedOnStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(conf_.LoadConfigFile(""));
    EXPECT_FALSE(conf_.LoadConfigFile(dir_.Path() + "/none.xml"));
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages.find("invliad parameter in LoadConfigFile:"), 0u) << messages;
    EXPECT_NE(
        messages.find("\nconfig file " + dir_.Path() + "/none.xml not exist in LoadConfigFile:"),
        std::string::npos)
        << messages;
}

TEST_F(RtServerConfigTest, PrintsTheAddressAndPort) {
    ASSERT_TRUE(LoadPort("9000"));
    testing::internal::CaptureStdout();
    conf_.PrintVars();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "listen ip: 0.0.0.0\nlisten port: 9000\n");
}

// A reload reports which rule a file breaks, and keeps apart the keys it may take live from those
// that need a restart.
TEST_F(RtServerConfigTest, ProblemNamesTheKeyAndReloadTakesOnlyLiveKeys) {
    const std::string base = "<rt><listen_ip>0.0.0.0</listen_ip><listen_port>9000</listen_port>";
    const std::pair<const char *, const char *> broken[] = {
        {"<listen_port>0</listen_port>", "listen_port must be greater than 0"},
        {"<queue_budget_mib>0</queue_budget_mib>", "queue_budget_mib must be at least 1"},
        {"<monitor_port>70000</monitor_port>", "monitor_port must be from 1 to 65535"},
        {"<plain_listen>off</plain_listen>", "plain_listen must be yes or no"},
        {"<tls_require_peer_certificate>yes</tls_require_peer_certificate>",
         "tls_require_peer_certificate needs tls_ca_file"},
        {"<plain_listen>no</plain_listen>", "plain_listen no needs tls_listen_port"},
    };
    for (const auto &file : broken) {
        RtServerConfig conf;
        EXPECT_FALSE(conf.LoadConfigFile(dir_.Write(base + file.first + "</rt>")));
        EXPECT_EQ(conf.Problem(), file.second);
    }

    ASSERT_TRUE(Load(base + "</rt>"));
    EXPECT_EQ(conf_.Problem(), "");
    RtServerConfig fresh;
    ASSERT_TRUE(fresh.LoadConfigFile(dir_.Write(
        "<rt><listen_ip>127.0.0.1</listen_ip><listen_port>9001</listen_port>"
        "<max_connections_per_address>4</max_connections_per_address>"
        "<queue_budget_mib>64</queue_budget_mib><monitor_port>9100</monitor_port></rt>")));
    EXPECT_EQ(conf_.FixedKeysChanged(fresh),
              (std::vector<std::string>{"listen_ip", "listen_port"}));
    conf_.TakeLiveKeys(fresh);
    EXPECT_EQ(conf_.GetListenIP(), "0.0.0.0");
    EXPECT_EQ(conf_.GetListenPort(), 9000);
    EXPECT_EQ(conf_.GetMaxConnectionsPerAddress(), 4);
    EXPECT_EQ(conf_.GetQueueBudgetMiB(), 64);
    EXPECT_EQ(conf_.GetMonitorPort(), 9100);
}

}  // namespace
