// What a certificate proves: its UUID and the kinds it may act as.
#include "bd_netframwork/bd_peer_identity.h"

#include <gtest/gtest.h>

#include "bd_netframwork/bd_packet.h"
#include "support/test_certificate.h"

namespace {

TEST(BdPeerIdentityTest, TheUuidUrnWinsOverTheCommonNameAndKindsComeFromUnits) {
    const TestCertificate certificate(
        {{"CN", "host.example"}, {"OU", "agent"}, {"OU", "web"}, {"OU", "backup team"}},
        "DNS:host.example,URI:urn:uuid:agent-1");
    const BdPeerIdentity identity = BdPeerIdentity::FromCertificate(certificate.Get());
    EXPECT_TRUE(identity.proven);
    EXPECT_EQ(identity.uuid, "agent-1");
    EXPECT_EQ(identity.kinds, BdPeerIdentity::kAgent | BdPeerIdentity::kWeb);
    EXPECT_TRUE(identity.Permits("agent-1", BdPeerIdentity::KindOfHandShake(kBdHandShakeClient)));
    EXPECT_FALSE(identity.Permits("agent-1", BdPeerIdentity::kServerPlatform));
    EXPECT_FALSE(identity.Permits("host.example", BdPeerIdentity::kAgent));
    EXPECT_EQ(identity.Describe(), "agent-1 (agent,web)");
}

TEST(BdPeerIdentityTest, WithoutAUrnTheCommonNameIsTheUuid) {
    const TestCertificate certificate({{"CN", "platform-1"}, {"OU", "server-platform"}},
                                      "URI:https://platform.example/");
    const BdPeerIdentity identity = BdPeerIdentity::FromCertificate(certificate.Get());
    EXPECT_TRUE(identity.Permits("platform-1", BdPeerIdentity::kServerPlatform));
}

TEST(BdPeerIdentityTest, TwoDifferentUuidsNameNoneAndPermitNothing) {
    const TestCertificate twoUrns({{"CN", "a"}, {"OU", "agent"}},
                                  "URI:urn:uuid:agent-1,URI:URN:UUID:agent-2");
    const TestCertificate twoNames({{"CN", "agent-1"}, {"CN", "agent-2"}, {"OU", "agent"}});
    for (const TestCertificate *certificate : {&twoUrns, &twoNames}) {
        const BdPeerIdentity identity = BdPeerIdentity::FromCertificate(certificate->Get());
        EXPECT_TRUE(identity.proven);
        EXPECT_EQ(identity.uuid, "");
        EXPECT_FALSE(identity.Permits("", BdPeerIdentity::kAgent));
        EXPECT_FALSE(identity.Permits("agent-1", BdPeerIdentity::kAgent));
    }
}

TEST(BdPeerIdentityTest, NoCertificateHoldsThePeerToNothing) {
    const BdPeerIdentity identity = BdPeerIdentity::FromCertificate(nullptr);
    EXPECT_FALSE(identity.proven);
    EXPECT_TRUE(identity.Permits("anyone", BdPeerIdentity::kServerPlatform));
}

}  // namespace
