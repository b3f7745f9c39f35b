// The pieces of rt_peer that need no router: framing a byte stream, decoding packets, and the
// command line.
#include <gtest/gtest.h>

#include <sstream>

#include "bd_common/bd_error.h"
#include "rt_tools/rt_peer_decoder.h"
#include "rt_tools/rt_peer_framer.h"
#include "rt_tools/rt_peer_options.h"
#include "rt_tools/rt_peer_packet.h"
#include "support/packet_bytes.h"

namespace {

RtPeerRoute Route(const std::string &from, const std::string &to) {
    return {from, to, 5, 6, 7};
}

std::string Next(RtPeerFramer *framer) {
    const char *packet = nullptr;
    int length = 0;
    const int rc = framer->Next(&packet, &length);
    return rc == BD_SUCCESS ? std::string(packet, length) : "rc " + std::to_string(rc);
}

TEST(RtPeerFramerTest, CutsPacketsAcrossArbitraryReadBoundaries) {
    const RtPeerPacket first = RtPeerPacket::Normal(Route("a", "b"), "{\"n\":1}\n");
    const RtPeerPacket keepAlive = RtPeerPacket::KeepAlive();
    const RtPeerPacket third = RtPeerPacket::Log(Route("a", "b"), 1, std::string(5000, 'x'));
    std::string stream;
    for (const RtPeerPacket *p : {&first, &keepAlive, &third})
        stream.append(p->Data(), p->Length());

    RtPeerFramer framer;
    std::vector<std::string> got;
    for (size_t at = 0; at < stream.size(); at += 7) {
        framer.Append(stream.data() + at, std::min<size_t>(7, stream.size() - at));
        for (std::string packet = Next(&framer); packet.rfind("rc ", 0) != 0;
             packet = Next(&framer)) {
            got.push_back(packet);
        }
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::string(first.Data(), first.Length()));
    EXPECT_EQ(got[1], std::string(keepAlive.Data(), keepAlive.Length()));
    EXPECT_EQ(got[2], std::string(third.Data(), third.Length()));
    EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(RtPeerFramerTest, RefusesAStreamThatIsNotPackets) {
    RtPeerFramer framer;
    framer.Append("GET / HTTP/1.1\r\n\r\n", 18);
    EXPECT_EQ(Next(&framer), "rc " + std::to_string(BD_NET_HEADER_MAGIC_INVALID));
    // A packet longer than any peer may send is refused before its bytes are awaited.
    RtPeerFramer capped;
    const std::string header = NetHeader(kBdMaxPacketLength - 15);
    capped.Append(header.data(), header.size());
    EXPECT_EQ(Next(&capped), "rc " + std::to_string(BD_NET_PACKET_INVALID));
}

TEST(RtPeerFramerTest, WaitsForTheRestOfAPacket) {
    const RtPeerPacket packet = RtPeerPacket::Normal(Route("a", "b"), "{}\n");
    RtPeerFramer framer;
    framer.Append(nullptr, 0);  // a read that brought nothing, before any buffer exists
    EXPECT_EQ(Next(&framer), "rc " + std::to_string(BD_NET_HEADER_INCOMPLETE));
    framer.Append(packet.Data(), packet.Length() - 1);
    EXPECT_EQ(Next(&framer), "rc " + std::to_string(BD_NET_HEADER_INCOMPLETE));
    framer.Append(packet.Data() + packet.Length() - 1, 1);
    EXPECT_EQ(Next(&framer), std::string(packet.Data(), packet.Length()));
}

TEST(RtPeerDecoderTest, DecodesANormalPacketWithItsModuleHeaderAndPayload) {
    RtPeerModuleFields module;
    module.reference_uuid = "ref";
    module.opcode_type = 11;
    module.opcode = 12;
    const RtPeerPacket packet =
        RtPeerPacket::Normal(Route("from", "to"), "{\"k\":[1,2]}\n", module);
    const Json::Value json = RtPeerDecoder::ToJson(packet);
    EXPECT_EQ(json["class_name"].asString(), "normal");
    EXPECT_EQ(json["source_uuid"].asString(), "from");
    EXPECT_EQ(json["target_uuid"].asString(), "to");
    EXPECT_EQ(json["source_type"].asInt(), 5);
    EXPECT_EQ(json["target_type"].asInt(), 6);
    EXPECT_EQ(json["module_type"].asInt(), 7);
    EXPECT_EQ(json["length"].asInt(), packet.Length());
    EXPECT_EQ(json["module"]["reference_uuid"].asString(), "ref");
    EXPECT_EQ(json["module"]["opcode"].asInt(), 12);
    EXPECT_EQ(json["module"]["data_len"].asInt(), 12);
    EXPECT_EQ(json["payload"]["k"][1].asInt(), 2);

    const std::string text = RtPeerDecoder::ToText(packet);
    EXPECT_NE(text.find("normal/normal"), std::string::npos) << text;
    EXPECT_NE(text.find("opcode_type 11"), std::string::npos) << text;
    EXPECT_NE(text.find("payload {\"k\":[1,2]}"), std::string::npos) << text;
}

TEST(RtPeerDecoderTest, KeepsAPayloadThatIsNotJsonAsText) {
    const Json::Value json =
        RtPeerDecoder::ToJson(RtPeerPacket::Normal(Route("a", "b"), "not json"));
    EXPECT_FALSE(json.isMember("payload"));
    EXPECT_EQ(json["payload_text"].asString(), "not json");
}

TEST(RtPeerDecoderTest, DecodesHandShakesLogDataAndShortPackets) {
    RtPeerIdentity identity;
    identity.uuid = "me";
    identity.node_uuid = "node";
    const Json::Value handShake =
        RtPeerDecoder::ToJson(RtPeerPacket::HandShake(kBdHandShakeModuleServer, identity));
    EXPECT_EQ(handShake["sub_kind_name"].asString(), "module-server");
    EXPECT_EQ(handShake["handshake"]["node_uuid"].asString(), "node");

    const Json::Value log = RtPeerDecoder::ToJson(RtPeerPacket::Log(Route("a", "b"), 1, "line"));
    EXPECT_EQ(log["log_data"].asString(), "line");

    EXPECT_EQ(RtPeerDecoder::ToJson(RtPeerPacket::KeepAlive())["class_name"].asString(),
              "keep-alive");
    std::vector<char> shortPacket(RtPeerPacket::KeepAlive().Bytes());
    shortPacket.resize(60);
    EXPECT_EQ(RtPeerDecoder::ToJson(RtPeerPacket(shortPacket))["class_name"].asString(),
              "malformed");
}

// Parses a command line given as words after the program name.
struct Parsed {
    int status;
    RtPeerOptions options;
    std::string err;
};

Parsed Parse(std::vector<std::string> words, const std::string &input = "") {
    words.insert(words.begin(), "rt_peer");
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    argv.push_back(nullptr);
    std::istringstream in(input);
    std::ostringstream err;
    Parsed parsed;
    parsed.status = RtPeerCommandLine::Parse(static_cast<int>(words.size()), argv.data(), in, err,
                                             &parsed.options);
    parsed.err = err.str();
    return parsed;
}

TEST(RtPeerCommandLineTest, FillsDefaultsForAPlainClient) {
    const Parsed parsed = Parse({"127.0.0.1:9000"});
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_EQ(parsed.options.host, "127.0.0.1");
    EXPECT_EQ(parsed.options.port, 9000);
    EXPECT_EQ(parsed.options.kind, kBdHandShakeClient);
    EXPECT_EQ(parsed.options.uuid.size(), 36u);
    EXPECT_EQ(parsed.options.node_uuid.size(), 36u);
    EXPECT_FALSE(parsed.options.send);
    EXPECT_EQ(parsed.options.wait_seconds, RtPeerOptions::kWaitForever);
}

TEST(RtPeerCommandLineTest, CompactsTheJsonPayloadAndWaitsBrieflyAfterSending) {
    const Parsed parsed = Parse({"-p", "{ \"a\" : [1, 2] }", "-c", "3", "h:1"});
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_TRUE(parsed.options.send);
    EXPECT_EQ(parsed.options.payload, "{\"a\":[1,2]}\n");
    EXPECT_EQ(parsed.options.count, 3);
    EXPECT_EQ(parsed.options.wait_seconds, 1);
}

TEST(RtPeerCommandLineTest, ReadsThePayloadFromStandardInputAndLogDataVerbatim) {
    Parsed parsed = Parse({"--payload=-", "h:1"}, "[true]");
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_EQ(parsed.options.payload, "[true]\n");

    parsed = Parse({"-l", "2", "-p", "-", "h:1"}, "not { json");
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_EQ(parsed.options.log_kind, 2);
    EXPECT_EQ(parsed.options.payload, "not { json");
}

TEST(RtPeerCommandLineTest, TheWebSideSendsAsSourceTypeOneAndNeedsATarget) {
    Parsed parsed = Parse({"-k", "web", "-t", "platform", "-p", "{}", "h:1"});
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_EQ(parsed.options.kind, kRtPeerKindWeb);
    EXPECT_EQ(parsed.options.source_type, kBdPeerTypeWeb);

    EXPECT_EQ(Parse({"-k", "web", "-p", "{}", "h:1"}).status, kRtPeerExitUsage);
    EXPECT_EQ(Parse({"-k", "web", "-s", "4", "h:1"}).status, kRtPeerExitUsage);
}

TEST(RtPeerCommandLineTest, RefusesBadArgumentsWithTheHintLine) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                   // no address
        {"h"},                                // no port
        {"h:0"},                              // port out of range
        {"h:1", "h:2"},                       // two addresses
        {"-k", "agent", "h:1"},               // unknown kind
        {"-p", "{oops", "h:1"},               // payload not JSON
        {"-p", "{} {}", "h:1"},               // trailing text after the JSON value
        {"-l", "3", "h:1"},                   // log sub-kind out of range
        {"-c", "0", "-p", "{}", "h:1"},       // count below one
        {"-w", "5s", "h:1"},                  // not a whole number
        {"-u", std::string(40, 'u'), "h:1"},  // longer than the 40-byte field holds
        {"-x", "h:1"},                        // unknown option
        {"--ca", "ca.pem", "h:1"},            // a TLS file without --tls
        {"--tls", "--cert", "c.pem", "h:1"},  // a certificate without its key
    };
    for (const auto &words : bad) {
        const Parsed parsed = Parse(words);
        EXPECT_EQ(parsed.status, kRtPeerExitUsage) << testing::PrintToString(words);
        EXPECT_NE(parsed.err.find("Try 'rt_peer -h or --help' for more information."),
                  std::string::npos)
            << parsed.err;
    }
}

TEST(RtPeerCommandLineTest, TakesTheTlsFiles) {
    const Parsed parsed =
        Parse({"--tls", "--ca", "ca.pem", "--cert", "a.pem", "--key", "a.key", "h:1"});
    ASSERT_EQ(parsed.status, kRtPeerExitOk) << parsed.err;
    EXPECT_TRUE(parsed.options.tls.enabled);
    EXPECT_EQ(parsed.options.tls.ca_file, "ca.pem");
    EXPECT_EQ(parsed.options.tls.certificate_file, "a.pem");
    EXPECT_EQ(parsed.options.tls.key_file, "a.key");
}

TEST(RtPeerCommandLineTest, HelpWinsOverEverythingAfterIt) {
    const Parsed parsed = Parse({"-h", "-k", "nonsense"});
    EXPECT_EQ(parsed.status, kRtPeerExitOk);
    EXPECT_TRUE(parsed.options.help);
    std::ostringstream out;
    RtPeerCommandLine::ShowHelp("rt_peer", out);
    EXPECT_EQ(out.str().rfind("rt_peer: Norvale backup and recovery system\n\nUsage: rt_peer "
                              "[options] HOST:PORT\nOptions:\n  -h, --help\t\t\tDisplay",
                              0),
              0u);
    EXPECT_NE(out.str().find("  6\tTarget connection lost.\n"), std::string::npos);
}

}  // namespace
