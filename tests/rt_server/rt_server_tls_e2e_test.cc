// The TLS listener and certificate identities, against the real router process, with real
// certificates made by scripts/make-certs.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "rt_server_e2e_fixture.h"
#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_peer_tls.h"
#include "rt_tools/rt_status_report.h"
#include "support/test_certificate_chain.h"

#ifndef RT_MAKE_CERTS
#error "RT_MAKE_CERTS must name scripts/make-certs.sh"
#endif

namespace {

// The certificates every test shares: a CA with one peer of each kind, a second CA with a peer
// of its own, and an expired certificate from the first CA.
class Certificates {
  public:
    Certificates() {
        const std::string make = std::string(RT_MAKE_CERTS) + " ";
        ok_ =
            std::system((make + good_.Path() +
                         " platform=platform-1:server-platform agent=agent-1:agent "
                         "module=module-1:module-server web=web-1:web >/dev/null")
                            .c_str()) == 0 &&
            std::system(
                ("CERT_DAYS=-1 " + make + good_.Path() + " expired=agent-2:agent").c_str()) == 0 &&
            std::system((make + other_.Path() + " stranger=agent-3:agent").c_str()) == 0;
    }
    bool Ok() const { return ok_; }
    std::string Good(const std::string &file) const { return good_.Join(file); }
    std::string Other(const std::string &file) const { return other_.Join(file); }

  private:
    TempDir good_;
    TempDir other_;
    bool ok_ = false;
};

const Certificates &Certs() {
    static const Certificates certificates;
    return certificates;
}

// A client TLS context verifying the router by the good CA and presenting certificate NAME, or
// none for an empty name.
std::unique_ptr<RtPeerTlsContext> PeerContext(const std::string &name,
                                              const std::string &caDir = "good") {
    const Certificates &c = Certs();
    RtPeerTlsFiles files;
    files.ca_file = c.Good("ca.pem");
    if (!name.empty()) {
        const auto path = [&](const std::string &file) {
            return caDir == "good" ? c.Good(file) : c.Other(file);
        };
        files.certificate_file = path(name + ".pem");
        files.key_file = path(name + ".key");
    }
    auto context = std::make_unique<RtPeerTlsContext>();
    std::string failure;
    EXPECT_TRUE(context->Load(files, &failure)) << failure;
    return context;
}

class RtServerTlsTest : public RtServerE2eTest {
  protected:
    RtServerTlsTest() { start_router_in_setup_ = false; }

    void SetUp() override {
        RtServerE2eTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(Certs().Ok());
    }

    // Starts the router with a TLS listener that requires certificates of the good CA.
    void StartTlsRouter(bool copyFiles = true) {
        RtRouterTls tls;
        if (copyFiles) {
            tls.certificate_file = Certs().Good("certificate.pem");
            tls.key_file = Certs().Good("private_key.pem");
        }
        tls.ca_file = Certs().Good("ca.pem");
        tls.require_peer_certificate = true;
        ASSERT_TRUE(router_->ConfigureTls(tls));
        StartRouter();
        if (copyFiles) {
            ASSERT_TRUE(TlsListening());
        }
    }

    bool TlsListening() {
        return Eventually([this] { return RtRouterAccepts(router_->TlsPort()); }, 10000);
    }

    int ConnectTls(RtPeerClient *peer, const RtPeerTlsContext &context) {
        peer->UseTls(context.Get());
        return peer->Connect("127.0.0.1", router_->TlsPort());
    }

    // Connects with context and hand-shakes as kind under uuid; the answer must be a success.
    void RegisterTls(RtPeerClient *peer, const RtPeerTlsContext &context, int kind,
                     const std::string &uuid) {
        ASSERT_EQ(ConnectTls(peer, context), 0) << peer->TlsFailure();
        RtPeerPacket answer;
        ASSERT_EQ(peer->HandShake(kind, Identity(uuid), &answer), 0);
        ASSERT_TRUE(answer.IsControl(kBdControlHandShakeSuccess));
    }

    // The router refused the peer: at the TLS handshake, or by closing the connection on the
    // handshake packet, without answering it.
    static bool Refused(RtPeerClient *peer, int connectResult, int kind, const std::string &uuid) {
        if (connectResult != 0)
            return true;
        peer->Send(RtPeerPacket::HandShake(kind, Identity(uuid)));
        return peer->WaitForClose(5000);
    }

    bool LogHas(const std::string &text) {
        return Eventually([&] { return router_->Log().find(text) != std::string::npos; }, 5000);
    }

    void ExpectNoRows(const std::string &uuid) {
        EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_agent WHERE agent_uuid = '" + uuid + "'"),
                  "0");
        EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_module_server WHERE module_uuid = '" +
                                uuid + "'"),
                  "0");
    }

    // Sends from one peer to another and expects the very bytes to arrive.
    void ExpectDelivered(RtPeerClient *from, RtPeerClient *to, const RtPeerRoute &route) {
        const RtPeerPacket sent = RtPeerPacket::Normal(route, "{\"n\":1}\n");
        ASSERT_EQ(from->Send(sent), 0);
        RtPeerPacket received;
        ASSERT_EQ(to->Receive(&received), 0);
        EXPECT_EQ(received.Bytes(), sent.Bytes());
    }
};

TEST_F(RtServerTlsTest, PeersOfEveryKindExchangeAcrossTlsAndPlain) {
    StartTlsRouter();
    auto platformTls = PeerContext("platform");
    auto agentTls = PeerContext("agent");
    auto webTls = PeerContext("web");
    RtPeerClient platform, agent, module, web;
    RegisterTls(&platform, *platformTls, kBdHandShakeServerPlatform, "platform-1");
    RegisterTls(&agent, *agentTls, kBdHandShakeClient, "agent-1");
    Register(&module, kBdHandShakeModuleServer, "module-1");  // a plain peer, not yet moved
    ASSERT_EQ(ConnectTls(&web, *webTls), 0) << web.TlsFailure();

    ExpectDelivered(&agent, &platform, Route("agent-1", "platform-1"));
    ExpectDelivered(&module, &agent, Route("module-1", "agent-1"));
    ExpectDelivered(&web, &module, Route("web-1", "module-1", kBdPeerTypeWeb));
    ExpectDelivered(&agent, &web, Route("agent-1", "web-1"));
    EXPECT_EQ(tables_.AgentOnline("agent-1"), "1");
    EXPECT_EQ(tables_.ModuleServerOnline("platform-1"), "1");
    EXPECT_EQ(tables_.ModuleServerOnline("module-1"), "1");
}

TEST_F(RtServerTlsTest, CertificatesTheRouterCannotTrustAreRefusedAtTheTlsHandshake) {
    const int monitor = router_->EnableMonitor();
    StartTlsRouter();
    RtPeerClient platform;
    RegisterTls(&platform, *PeerContext("platform"), kBdHandShakeServerPlatform, "platform-1");

    struct Case {
        const char *what;
        std::unique_ptr<RtPeerTlsContext> context;
        const char *uuid;
        const char *logged;
    };
    Case cases[] = {
        {"wrong CA", PeerContext("stranger", "other"), "agent-3", "unable to get local issuer"},
        {"expired", PeerContext("expired"), "agent-2", "certificate has expired"},
        {"no certificate", PeerContext(""), "agent-4", "peer did not return a certificate"},
    };
    for (Case &c : cases) {
        RtPeerClient peer;
        const int rc = ConnectTls(&peer, *c.context);
        EXPECT_TRUE(Refused(&peer, rc, kBdHandShakeClient, c.uuid)) << c.what;
        EXPECT_TRUE(LogHas(c.logged)) << c.what << "\n" << router_->Log();
        ExpectNoRows(c.uuid);
    }

    // Plain packets on the TLS port are not TLS at all.
    RtPeerClient plain;
    ASSERT_EQ(plain.Connect("127.0.0.1", router_->TlsPort()), 0);
    EXPECT_TRUE(Refused(&plain, 0, kBdHandShakeClient, "agent-5"));
    EXPECT_TRUE(LogHas("TLS handshake failed")) << router_->Log();
    ExpectNoRows("agent-5");

    // Operators see the four refusals counted apart from the platform's handshake (and from the
    // plain connect that found the TLS port listening, which failed too).
    std::string page;
    EXPECT_TRUE(Eventually(
        [&] {
            auto metrics = RtParseMetrics(
                RtHttpGet("127.0.0.1", monitor, "/metrics", 5000, &page) == 200 ? page : "");
            return metrics["rt_server_tls_handshakes_total{result=\"ok\"}"] == 1 &&
                   metrics["rt_server_tls_handshakes_total{result=\"failed\"}"] == 1 + 4;
        },
        5000))
        << page;
}

// A chain is refused past a few intermediates, and a long one on its size alone, before any of
// its certificates is parsed or checked; a chain of two intermediates is served as usual.
TEST_F(RtServerTlsTest, LongCertificateChainsAreRefusedByDepthOrSize) {
    StartTlsRouter();
    RtPeerClient platform;
    RegisterTls(&platform, *PeerContext("platform"), kBdHandShakeServerPlatform, "platform-1");
    struct Case {
        int intermediates;
        const char *logged;  // empty: accepted
    };
    const Case cases[] = {
        {2, ""}, {5, "certificate chain too long"}, {99, "excessive message size"}};
    for (const Case &c : cases) {
        const std::string name = "chain" + std::to_string(c.intermediates);
        ASSERT_TRUE(WriteCertificateChain(Certs().Good("ca.pem"), Certs().Good("ca.key"),
                                          c.intermediates, "agent-1", "agent",
                                          root_.Join(name + ".pem"), root_.Join(name + ".key")));
        RtPeerTlsFiles files;
        files.ca_file = Certs().Good("ca.pem");
        files.certificate_file = root_.Join(name + ".pem");
        files.key_file = root_.Join(name + ".key");
        RtPeerTlsContext context;
        std::string failure;
        ASSERT_TRUE(context.Load(files, &failure)) << failure;
        RtPeerClient peer;
        if (c.logged[0] == '\0') {
            RegisterTls(&peer, context, kBdHandShakeClient, "agent-1");
            continue;
        }
        const int rc = ConnectTls(&peer, context);
        EXPECT_TRUE(Refused(&peer, rc, kBdHandShakeClient, "agent-1")) << c.intermediates;
        EXPECT_TRUE(LogHas(c.logged)) << c.intermediates << "\n" << router_->Log();
    }
}

TEST_F(RtServerTlsTest, ClaimsBeyondTheCertificateAreRefusedWithoutTakeover) {
    StartTlsRouter();
    auto agentTls = PeerContext("agent");
    RtPeerClient platform, agent;
    RegisterTls(&platform, *PeerContext("platform"), kBdHandShakeServerPlatform, "platform-1");
    RegisterTls(&agent, *agentTls, kBdHandShakeClient, "agent-1");

    constexpr int kWebPacket = 0;
    struct Claim {
        int kind;  // a handshake kind, or kWebPacket
        const char *uuid;
        const char *logged;
    };
    const Claim claims[] = {
        {kBdHandShakeClient, "agent-9",
         "claims uuid agent-9 as agent, certificate names agent-1 (agent)"},
        {kBdHandShakeServerPlatform, "agent-1",
         "claims uuid agent-1 as server-platform, certificate names agent-1 (agent)"},
        {kWebPacket, "agent-1", "claims uuid agent-1 as web, certificate names agent-1"},
    };
    for (const Claim &claim : claims) {
        RtPeerClient impostor;
        ASSERT_EQ(ConnectTls(&impostor, *agentTls), 0);
        if (claim.kind == kWebPacket) {
            impostor.Send(
                RtPeerPacket::Normal(Route(claim.uuid, "platform-1", kBdPeerTypeWeb), "{}\n"));
        } else {
            impostor.Send(RtPeerPacket::HandShake(claim.kind, Identity(claim.uuid)));
        }
        EXPECT_TRUE(impostor.WaitForClose(5000)) << claim.logged;
        EXPECT_TRUE(LogHas(claim.logged)) << router_->Log();
    }
    ExpectNoRows("agent-9");
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_module_server WHERE module_uuid = 'agent-1'"),
              "0");
    EXPECT_TRUE(Silent(&platform));  // the web packet was not forwarded

    // A plain peer cannot take over the UUID a certificate proved.
    RtPeerClient plainImpostor;
    Connect(&plainImpostor);
    plainImpostor.Send(RtPeerPacket::HandShake(kBdHandShakeClient, Identity("agent-1")));
    EXPECT_TRUE(plainImpostor.WaitForClose(5000));
    EXPECT_TRUE(LogHas("uuid held by certificate agent-1 (agent)")) << router_->Log();
    ExpectDelivered(&platform, &agent, Route("platform-1", "agent-1"));
}

TEST_F(RtServerTlsTest, StalledTlsHandshakeIsClosedWhileABusyPairKeepsFlowing) {
    StartTlsRouter();
    RtPeerClient platform, agent;
    RegisterTls(&platform, *PeerContext("platform"), kBdHandShakeServerPlatform, "platform-1");
    RegisterTls(&agent, *PeerContext("agent"), kBdHandShakeClient, "agent-1");

    // Opens a TCP connection to the TLS port and says nothing.
    RtPeerClient stalled;
    ASSERT_EQ(stalled.Connect("127.0.0.1", router_->TlsPort()), 0);
    const auto opened = std::chrono::steady_clock::now();
    int roundTrips = 0;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - opened < std::chrono::seconds(20)) {
        ExpectDelivered(&agent, &platform, Route("agent-1", "platform-1"));
        ExpectDelivered(&platform, &agent, Route("platform-1", "agent-1"));
        ++roundTrips;
        closed = stalled.WaitForClose(100);
    }
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::seconds(9));
    EXPECT_GT(roundTrips, 20);
    EXPECT_TRUE(LogHas("TLS handshake timed out")) << router_->Log();
}

TEST_F(RtServerTlsTest, MissingCertificateIsReportedAndRetriedWhileThePlainPortServes) {
    StartTlsRouter(false);
    EXPECT_TRUE(LogHas("TLS certificate file " + root_.Path() +
                       "/etc/norvale/certificate.pem: No such file or directory, retried in 1 s"))
        << router_->Log();
    RtPeerClient platform;
    RegisterPlatform(&platform);

    namespace fs = std::filesystem;
    fs::copy_file(Certs().Good("certificate.pem"), root_.Join("etc/norvale/certificate.pem"));
    fs::copy_file(Certs().Good("private_key.pem"), root_.Join("etc/norvale/private_key.pem"));
    ASSERT_TRUE(TlsListening());
    RtPeerClient agent;
    RegisterTls(&agent, *PeerContext("agent"), kBdHandShakeClient, "agent-1");
    ExpectDelivered(&agent, &platform, Route("agent-1", "platform-1"));
}

// SIGHUP with a renewed certificate from another CA: a new peer meets the new one (a peer that
// trusts only the old CA refuses it), while peers in session since before talk on.
TEST_F(RtServerTlsTest, ReloadedCertificateIsSeenByNewPeersWhileEstablishedOnesTalkOn) {
    StartTlsRouter();
    RtPeerClient platform, agent;
    RegisterTls(&platform, *PeerContext("platform"), kBdHandShakeServerPlatform, "platform-1");
    RegisterTls(&agent, *PeerContext("agent"), kBdHandShakeClient, "agent-1");

    TempDir renewed;
    ASSERT_EQ(std::system((std::string(RT_MAKE_CERTS) + " " + renewed.Path()).c_str()), 0);
    namespace fs = std::filesystem;
    for (const char *file : {"certificate.pem", "private_key.pem"}) {
        fs::copy_file(renewed.Join(file), root_.Join(std::string("etc/norvale/") + file),
                      fs::copy_options::overwrite_existing);
    }
    ASSERT_EQ(kill(router_->Pid(), SIGHUP), 0);
    ASSERT_TRUE(LogHas("configuration reloaded")) << router_->Log();

    RtPeerClient oldTrust;
    EXPECT_NE(ConnectTls(&oldTrust, *PeerContext("module")), 0);
    RtPeerTlsFiles files;
    files.ca_file = renewed.Join("ca.pem");
    files.certificate_file = Certs().Good("module.pem");
    files.key_file = Certs().Good("module.key");
    RtPeerTlsContext newTrust;
    std::string failure;
    ASSERT_TRUE(newTrust.Load(files, &failure)) << failure;
    RtPeerClient module;
    RegisterTls(&module, newTrust, kBdHandShakeModuleServer, "module-1");

    ExpectDelivered(&agent, &platform, Route("agent-1", "platform-1"));
    ExpectDelivered(&platform, &agent, Route("platform-1", "agent-1"));
    ExpectDelivered(&module, &agent, Route("module-1", "agent-1"));
}

}  // namespace
