#include "bd_common/bd_common_server_config.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bd_xml/xml_test_file.h"

namespace {

using Keys = std::map<std::string, std::string>;

const Keys kComplete = {
    {"install_path", "/opt/norvale"},
    {"server_ip", "10.0.0.5"},
    {"server_port", "8800"},
    {"database_ip", "127.0.0.1"},
    {"database_port", "3306"},
    {"database_name", "norvale"},
    {"database_user", "router"},
    {"database_passwd", "s3cret"},
    {"storage_prefix", "/data/backup"},
    {"server_key_name", "server.key"},
    {"client_key_name", "client.key"},
    {"log_dir", "/var/log/norvale"},
    {"control_message_timeout", "30"},
};

std::string Document(const Keys &keys) {
    std::string document = "<?xml version=\"1.0\"?>\n<norvale>\n";
    for (const auto &key : keys) {
        document += "  <" + key.first + ">" + key.second + "</" + key.first + ">\n";
    }
    return document + "</norvale>\n";
}

Keys With(Keys keys, const std::string &name, const std::string &value) {
    keys[name] = value;
    return keys;
}

Keys Without(Keys keys, const std::string &name) {
    keys.erase(name);
    return keys;
}

class BdCommonServerConfigTest : public testing::Test {
  protected:
    void SetUp() override { BdCommonServerConfig::FreeCommonConf(); }
    void TearDown() override { BdCommonServerConfig::FreeCommonConf(); }

    bool Load(const std::string &document) {
        return BdCommonServerConfig::GetCommonConf()->LoadConfigFile(dir_.Write(document));
    }

    TempDir dir_;
};

TEST_F(BdCommonServerConfigTest, LoadsACompleteFile) {
    ASSERT_TRUE(Load(Document(kComplete)));
    BdCommonServerConfig *conf = BdCommonServerConfig::GetCommonConf();
    EXPECT_EQ(conf->GetDatabaseIP(), "127.0.0.1");
    EXPECT_EQ(conf->GetDatabasePort(), 3306);
    EXPECT_EQ(conf->GetDatabaseName(), "norvale");
    EXPECT_EQ(conf->GetDatabaseUser(), "router");
    EXPECT_EQ(conf->GetDatabasePasswd(), "s3cret");
    EXPECT_EQ(conf->GetLogDir(), "/var/log/norvale");

    testing::internal::CaptureStdout();
    conf->PrintVars();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "-------------------norvale config content---------------------\n"
              "install path: /opt/norvale\nserver ip: 10.0.0.5\nserver port: 8800\n"
              "database ip: 127.0.0.1\ndatabase port: 3306\ndatabase name: norvale\n"
              "database user: router\ndatabase psswd: s3cret\nstorage prefix: /data/backup\n"
              "server key file: server.key\nclient key file: client.key\n"
              "log dir: /var/log/norvale\n" +
                  std::string(62, '-') + "\n");
}

TEST_F(BdCommonServerConfigTest, EveryKeyButTheTimeoutIsRequired) {
    for (const auto &key : kComplete) {
        BdCommonServerConfig::FreeCommonConf();
        EXPECT_EQ(Load(Document(Without(kComplete, key.first))),
                  key.first == "control_message_timeout")
            << key.first;
    }
}

TEST_F(BdCommonServerConfigTest, PortsAreResetAtEveryLoadButTextsAreKept) {
    ASSERT_TRUE(Load(Document(kComplete)));
    EXPECT_FALSE(Load(Document(Without(kComplete, "server_port"))));
    ASSERT_TRUE(Load(Document(Without(With(kComplete, "log_dir", "/old"), "install_path"))));
    EXPECT_TRUE(Load(Document(Without(kComplete, "log_dir"))));
    EXPECT_EQ(BdCommonServerConfig::GetCommonConf()->GetLogDir(), "/old");
}

TEST_F(BdCommonServerConfigTest, PortsAreReadLikeAtoi) {
    const struct {
        const char *text;
        int port;
    } cases[] = {{" 3306abc", 3306}, {"+7", 7}, {"abc", 0}, {"-5", -5}, {"0", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(Load(Document(With(kComplete, "database_port", c.text))), c.port >= 1) << c.text;
        EXPECT_EQ(BdCommonServerConfig::GetCommonConf()->GetDatabasePort(), c.port) << c.text;
    }
}

TEST_F(BdCommonServerConfigTest, TextsAreStoredUntrimmedAndUnknownKeysIgnored) {
    ASSERT_TRUE(
        Load(Document(With(With(kComplete, "database_user", " router "), "colour", "blue"))));
    EXPECT_EQ(BdCommonServerConfig::GetCommonConf()->GetDatabaseUser(), " router ");
}

TEST_F(BdCommonServerConfigTest, EmptyElementEndsTheLoad) {
    // The empty element sorts first, so nothing after it is read.
    EXPECT_FALSE(Load(Document(With(kComplete, "aaa_empty", ""))));
    EXPECT_EQ(BdCommonServerConfig::GetCommonConf()->GetDatabasePort(), -1);
}

TEST_F(BdCommonServerConfigTest, SettingsOneLevelTooDeepAreNotRead) {
    EXPECT_FALSE(Load("<norvale><settings>" + Document(kComplete) + "</settings></norvale>"));
}

TEST_F(BdCommonServerConfigTest, BadPathsAreReportedOnStandardError) {
    ASSERT_TRUE(Load(Document(kComplete)));
    BdCommonServerConfig *conf = BdCommonServerConfig::GetCommonConf();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(conf->LoadConfigFile(""));
    EXPECT_EQ(conf->GetDatabasePort(), 3306);  // an empty path changes nothing
    const std::string missing = dir_.Path() + "/missing.xml";
    EXPECT_FALSE(conf->LoadConfigFile(missing));
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(conf->GetDatabasePort(), -1);
    EXPECT_EQ(messages.find("invliad parameter in LoadConfigFile:"), 0u) << messages;
    EXPECT_NE(messages.find("\nconfig file " + missing + " not exist in LoadConfigFile:"),
              std::string::npos)
        << messages;
}

TEST_F(BdCommonServerConfigTest, OneInstanceAcrossThreadsUntilFreed) {
    std::vector<BdCommonServerConfig *> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = BdCommonServerConfig::GetCommonConf(); });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::set<BdCommonServerConfig *>(seen.begin(), seen.end()).size(), 1u);
    ASSERT_TRUE(Load(Document(kComplete)));
    BdCommonServerConfig::FreeCommonConf();
    EXPECT_EQ(BdCommonServerConfig::GetCommonConf()->GetDatabaseIP(), "");
}

// A server process with keys of its own.
class ModuleServerConfig : public BdCommonServerConfig {
  public:
    std::vector<std::string> special;
    bool valid = true;

  protected:
    bool ParseSpecialElem(std::string name, std::string value) override {
        special.push_back(name + "=" + value);
        return false;  // not consulted
    }
    bool CheckSpecialVarValidity() override { return valid; }
    void PrintSpecialVars() override { std::cout << "module: yes" << std::endl; }
};

TEST_F(BdCommonServerConfigTest, DerivedClassHooksSeeTheirKeys) {
    ModuleServerConfig conf;
    const std::string path = dir_.Write(Document(With(kComplete, "module_slot", "4")));
    EXPECT_TRUE(conf.LoadConfigFile(path));
    EXPECT_EQ(conf.special, std::vector<std::string>{"module_slot=4"});
    conf.valid = false;
    EXPECT_FALSE(conf.LoadConfigFile(path));

    testing::internal::CaptureStdout();
    conf.PrintVars();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("log dir: /var/log/norvale\nmodule: yes\n---"), std::string::npos);
}

}  // namespace
