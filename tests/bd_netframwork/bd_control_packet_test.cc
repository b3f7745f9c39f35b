// Golden bytes of every answer a peer can receive; each one is what the other processes parse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bd_netframwork/bd_packet_handler.h"
#include "support/packet_bytes.h"

namespace {

const std::string kRouter = "0f5b3c1e-8a7d-4c2b-9e61-3d2f4a5b6c7d";
const std::string kPlatform = "platform-7";
const std::string kClient = "c1d2e3f4-0000-4111-8222-933344445555";

std::vector<uint8_t> FromHex(const std::string &hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A request from client "A" (peer type 5, module type 9) to the router.
PacketBytes Request(size_t length) {
    PacketBytes request(length);
    request.NetHeader().Text(16, "A").Text(56, kRouter).Int32(96, 5).Int32(100, 2).Int32(104, 9);
    request.Int32(108, static_cast<uint32_t>(length - 120)).Int32(112, 3);
    return request;
}

// A normal request with a recognisable module header and payload.
PacketBytes NormalRequest(size_t length) {
    PacketBytes request = Request(length);
    request.Text(120, "ref-uuid").Text(160, "source-thread").Text(200, "target-thread");
    request.Int32(240, 11).Int32(244, 12).Int32(248, 13).Int32(252, 1).Int32(256, 14);
    request.Int32(260, 15).Int32(268, static_cast<uint32_t>(length - 272));
    for (size_t i = 272; i < length; ++i) {
        request.Text(i, std::string(1, static_cast<char>('a' + i % 26)));
    }
    return request;
}

// Holds a copy of the request the way every sender does.
class ControlPacketTest : public ::testing::Test {
  protected:
    // Holds the first `length` bytes of the request, all of it by default.
    void Hold(const PacketBytes &request, size_t length = 0) {
        const auto &bytes = request.bytes();
        ASSERT_EQ(0, handler_.InitCopy(reinterpret_cast<const char *>(bytes.data()),
                                       static_cast<int>(length ? length : bytes.size())));
    }
    int Success(const std::string &sender, const std::string &router, const std::string &platform) {
        return handler_.CreateHandShakeSuccessPacket(sender, 2, router, platform, &out_,
                                                     &outLength_);
    }
    int NotReady(const std::string &sender) {
        return handler_.CreateServerNotReadyPacket(sender, 2, &out_, &outLength_);
    }
    int OpId(long opId) { return handler_.CreateOpIdPacket(opId, &out_, &outLength_); }
    void TearDown() override {
        handler_.Destroy();
        free(out_);
    }

    BdPacketHandler handler_;
    char *out_ = nullptr;
    int outLength_ = -1;
};

TEST_F(ControlPacketTest, HandShakeSuccessIsAddressedBackAndCarriesBothUuids) {
    Hold(Request(456));
    ASSERT_EQ(0, Success(kRouter, kRouter, kPlatform));
    PacketBytes expected(200);
    expected.NetHeader().Text(16, kRouter).Text(56, "A").Int32(96, 2).Int32(100, 5).Int32(104, 9);
    expected.Int32(108, 80).Int32(112, 1).Int32(116, 1).Text(120, kRouter).Text(160, kPlatform);
    ASSERT_EQ(200, outLength_);
    EXPECT_EQ(expected.bytes(), Bytes(out_, outLength_));
    EXPECT_EQ(184, reinterpret_cast<BdHeader *>(out_)->data_len);
}

TEST_F(ControlPacketTest, ServerNotReadyIsExactlyTheseBytes) {
    Hold(Request(120));
    ASSERT_EQ(0, NotReady("R1"));
    const std::string zeros16(32, '0');
    const std::vector<uint8_t> expected = FromHex(
        "fdfcfbfa680000000000000000000000"
        "52310000000000000000000000000000" +
        zeros16 + "00000000000000004100000000000000" + zeros16 + zeros16 +
        "020000000500000009000000"
        "00000000"
        "0100000002000000");
    ASSERT_EQ(120u, expected.size());
    EXPECT_EQ(expected, Bytes(out_, outLength_));
}

TEST_F(ControlPacketTest, OpIdAnswerSwapsAddressesAndKeepsTheModuleHeader) {
    const PacketBytes request = NormalRequest(300);
    Hold(request);
    ASSERT_EQ(0, OpId(42));
    const std::string payload = "{\"op_id\":\"42\"}\n";
    ASSERT_EQ(15u, payload.size());

    PacketBytes expected(272 + payload.size());
    expected.NetHeader().Text(16, kRouter).Text(56, "A").Int32(96, 2).Int32(100, 5).Int32(104, 9);
    expected.Int32(108, 152 + 15).Int32(112, 3).Int32(116, 0);
    for (size_t i = 120; i < 268; ++i) {  // module header up to its data_len, unchanged
        expected.Text(i, std::string(1, static_cast<char>(request.bytes()[i])));
    }
    expected.Int32(268, 15).Text(272, payload);
    ASSERT_EQ(287, outLength_);
    EXPECT_EQ(expected.bytes(), Bytes(out_, outLength_));
}

TEST_F(ControlPacketTest, OpIdSevenHasAFourteenBytePayload) {
    Hold(NormalRequest(272));
    ASSERT_EQ(0, OpId(7));
    ASSERT_EQ(286, outLength_);
    EXPECT_EQ("{\"op_id\":\"7\"}\n", std::string(out_ + 272, 14));
    EXPECT_EQ(270, reinterpret_cast<BdHeader *>(out_)->data_len);
    EXPECT_EQ(14, reinterpret_cast<BdModuleHeader *>(out_ + 120)->data_len);
    EXPECT_EQ("target-thread",
              BdPacketText(reinterpret_cast<BdModuleHeader *>(out_ + 120)->target_thread_uuid));
}

TEST_F(ControlPacketTest, InvalidDataAnswerFromTheWriters) {
    out_ = static_cast<char *>(calloc(120, 1));
    outLength_ = 120;
    ASSERT_EQ(0, handler_.InitNormal());
    ASSERT_EQ(0, handler_.PackHeader(out_, 120, 104, 0, kBdPacketMagic));
    ASSERT_EQ(0, handler_.PackRouterHeader(out_, 120, 0, kRouter, kClient, 2, 0, 0,
                                           kBdMessageControl, kBdControlInvalidData));
    PacketBytes expected(120);
    expected.NetHeader().Text(16, kRouter).Text(56, kClient).Int32(96, 2).Int32(112, 1);
    expected.Int32(116, 4);
    EXPECT_EQ(expected.bytes(), Bytes(out_, outLength_));
}

TEST_F(ControlPacketTest, HandShakeFromTheWriters) {
    out_ = static_cast<char *>(calloc(456, 1));
    outLength_ = 456;
    ASSERT_EQ(0, BdPacketHandler::PackHeader(out_, 456, 440, 0, kBdPacketMagic));
    ASSERT_EQ(0, BdPacketHandler::PackRouterHeader(out_, 456, 336, kClient, "", 7, 2, 9,
                                                   kBdMessageHandShake, kBdHandShakeClient));
    ASSERT_EQ(0, BdPacketHandler::PackHandShakePacket(out_, 456, kClient, "", "Linux", "Debian 12",
                                                      "agent", "host-1", 77, kRouter));
    PacketBytes expected(456);
    expected.NetHeader().Text(16, kClient).Int32(96, 7).Int32(100, 2).Int32(104, 9);
    expected.Int32(108, 336).Int32(112, 2).Int32(116, 1);
    expected.Text(120, kClient).Int32(160, 77).Text(204, "Linux").Text(268, "Debian 12");
    expected.Text(332, "agent").Text(352, "host-1").Text(416, kRouter);
    EXPECT_EQ(expected.bytes(), Bytes(out_, outLength_));
}

TEST_F(ControlPacketTest, BuildersRefuseAndHandNothingOver) {
    EXPECT_EQ(2, Success(kRouter, kRouter, kPlatform));
    EXPECT_EQ(2, NotReady(kRouter));
    EXPECT_EQ(2, OpId(1));

    Hold(NormalRequest(300));
    EXPECT_EQ(4, Success(kRouter, kRouter, ""));  // no server platform yet: no success goes out
    EXPECT_EQ(4, Success("", kRouter, kPlatform));
    EXPECT_EQ(4, Success(kRouter, "", kPlatform));
    EXPECT_EQ(4, handler_.CreateHandShakeSuccessPacket(kRouter, 2, kRouter, kPlatform, nullptr,
                                                       &outLength_));
    EXPECT_EQ(4, NotReady(""));
    EXPECT_EQ(4, handler_.CreateServerNotReadyPacket(kRouter, 2, &out_, nullptr));
    EXPECT_EQ(4, OpId(0));
    EXPECT_EQ(4, OpId(-5));
    EXPECT_EQ(4, handler_.CreateOpIdPacket(1, nullptr, &outLength_));

    Hold(Request(120), 119);
    EXPECT_EQ(25, Success(kRouter, kRouter, kPlatform));
    EXPECT_EQ(25, NotReady(kRouter));
    Hold(Request(120), 16);  // a keep-alive gets no answer
    EXPECT_EQ(25, NotReady(kRouter));
    Hold(NormalRequest(272), 271);
    EXPECT_EQ(25, OpId(3));

    EXPECT_EQ(nullptr, out_);
    EXPECT_EQ(-1, outLength_);
}

TEST_F(ControlPacketTest, AFullFortyByteUuidFromAPeerIsCutNotOverrun) {
    PacketBytes request = Request(120);
    request.Text(16, std::string(40, 'x'));  // no terminating zero
    Hold(request);
    ASSERT_EQ(0, NotReady(kRouter));
    const char *target = reinterpret_cast<BdRouterHeader *>(out_ + 16)->target_uuid;
    EXPECT_EQ(std::string(39, 'x'), std::string(target));
}

}  // namespace
