#include "bd_common/bd_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

class BdPathTest : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("NORVALE_ROOT"); }
};

TEST_F(BdPathTest, UnsetOrEmptyRootLeavesFixedPathsAlone) {
    unsetenv("NORVALE_ROOT");
    EXPECT_EQ(BdPath::Resolve("/etc/norvale/rt_server.conf.xml"),
              "/etc/norvale/rt_server.conf.xml");
    setenv("NORVALE_ROOT", "", 1);
    EXPECT_EQ(BdPath::Resolve("/var/run/norvale/rt_server.pid"), "/var/run/norvale/rt_server.pid");
}

TEST_F(BdPathTest, RootIsPutInFrontOfFixedPaths) {
    setenv("NORVALE_ROOT", "/tmp/x", 1);
    EXPECT_EQ(BdPath::Resolve("/etc/norvale/rt_server.conf.xml"),
              "/tmp/x/etc/norvale/rt_server.conf.xml");
    EXPECT_EQ(BdPath::Resolve("/var/run/norvale/rt_server.pid"),
              "/tmp/x/var/run/norvale/rt_server.pid");
    EXPECT_EQ(BdPath::Resolve("/etc/norvale/backup-system/uuid/"),
              "/tmp/x/etc/norvale/backup-system/uuid/");
}

}  // namespace
