#include "bd_netframwork/bd_packet_handler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bd_netframwork/packet_bytes.h"

namespace {

const std::string kUuid = "0f5b3c1e-8a7d-4c2b-9e61-3d2f4a5b6c7d";

// One accessor in both forms, with the offset and length rule it must obey.
struct Accessor {
    const char *name;
    int offset;
    int minLength;
    bool exactLength;
    bool refusesLengthBelowOne;  // buffer form gives 4 rather than 25 for length < 1
    std::function<int(BdPacketHandler &, char **)> member;
    std::function<int(const char *, int, const char **)> buffer;
};

template <typename T>
Accessor Make(const char *name, int offset, int minLength, bool exact, bool refusesBelowOne,
              int (BdPacketHandler::*member)(T **), int (*buffer)(const char *, int, const T **)) {
    return Accessor{name,
                    offset,
                    minLength,
                    exact,
                    refusesBelowOne,
                    [member](BdPacketHandler &handler, char **out) {
                        T *at = nullptr;
                        int rc = (handler.*member)(out ? &at : nullptr);
                        if (out) {
                            *out = reinterpret_cast<char *>(at);
                        }
                        return rc;
                    },
                    [buffer](const char *packet, int length, const char **out) {
                        const T *at = nullptr;
                        int rc = buffer(packet, length, out ? &at : nullptr);
                        if (out) {
                            *out = reinterpret_cast<const char *>(at);
                        }
                        return rc;
                    }};
}

std::vector<Accessor> Accessors() {
    using H = BdPacketHandler;
    return {
        Make<BdHeader>("header", 0, 16, false, false, &H::GetPacketHeader, &H::GetPacketHeader),
        Make<BdRouterHeader>("router header", 16, 120, false, false, &H::GetPacketRouterHeader,
                             &H::GetPacketRouterHeader),
        Make<BdModuleHeader>("module header", 120, 272, false, false, &H::GetPacketModuleHeader,
                             &H::GetPacketModuleHeader),
        Make<BdHandShakePacket>("handshake data", 120, 456, false, false,
                                &H::GetPacketHandshakeData, &H::GetPacketHandshakeData),
        Make<char>("payload", 272, 272, false, false, &H::GetCommonPacketData,
                   &H::GetCommonPacketData),
        Make<BdCommonAckHeader>("common ack", 272, 280, false, true, &H::GetCommonAckHeader,
                                &H::GetCommonAckHeader),
        Make<BdRpcCreateConnectionMessage>("rpc connection request", 272, 448, true, true,
                                           &H::BdGetRpcCreateConnMessage,
                                           &H::BdGetRpcCreateConnMessage),
    };
}

TEST(PacketHandlerAccessors, HonourTheirLengthRulesAtTheExactBoundaries) {
    std::vector<char> packet(600, 'p');
    for (const Accessor &accessor : Accessors()) {
        SCOPED_TRACE(accessor.name);
        for (int length : {accessor.minLength - 1, accessor.minLength, accessor.minLength + 1}) {
            SCOPED_TRACE(length);
            const bool fits =
                accessor.exactLength ? length == accessor.minLength : length >= accessor.minLength;
            const int expected = fits ? 0 : 25;

            const char *fromBuffer = nullptr;
            EXPECT_EQ(expected, accessor.buffer(packet.data(), length, &fromBuffer));
            EXPECT_EQ(fits ? packet.data() + accessor.offset : nullptr, fromBuffer);

            BdPacketHandler handler;
            ASSERT_EQ(0, handler.InitPointer(packet.data(), length));
            char *fromMember = nullptr;
            EXPECT_EQ(expected, accessor.member(handler, &fromMember));
            EXPECT_EQ(fits ? packet.data() + accessor.offset : nullptr, fromMember);
            handler.Destroy();
        }
    }
}

TEST(PacketHandlerAccessors, RefuseNullArgumentsAndEmptyHandlers) {
    std::vector<char> packet(456, 'p');
    for (const Accessor &accessor : Accessors()) {
        SCOPED_TRACE(accessor.name);
        const char *at = nullptr;
        EXPECT_EQ(4, accessor.buffer(nullptr, 448, &at));
        EXPECT_EQ(4, accessor.buffer(packet.data(), 448, nullptr));
        EXPECT_EQ(accessor.refusesLengthBelowOne ? 4 : 25, accessor.buffer(packet.data(), 0, &at));

        BdPacketHandler handler;
        char *own = nullptr;
        EXPECT_EQ(2, accessor.member(handler, &own));
        ASSERT_EQ(0, handler.InitCopy(packet.data(), accessor.minLength));
        EXPECT_EQ(4, accessor.member(handler, nullptr));
        EXPECT_EQ(0, accessor.member(handler, &own));
        handler.Destroy();
        EXPECT_EQ(2, accessor.member(handler, &own));
    }
}

TEST(PacketHandlerAccessors, KeepAliveHasANetHeaderButNoRouterHeader) {
    PacketBytes keepAlive(16);
    keepAlive.NetHeader();
    const char *packet = reinterpret_cast<const char *>(keepAlive.bytes().data());
    const BdHeader *header = nullptr;
    ASSERT_EQ(0, BdPacketHandler::GetPacketHeader(packet, 16, &header));
    EXPECT_EQ(kBdPacketMagic, header->magic);
    EXPECT_EQ(0, header->data_len);
    const BdRouterHeader *router = nullptr;
    EXPECT_EQ(25, BdPacketHandler::GetPacketRouterHeader(packet, 16, &router));
}

TEST(PacketHandlerLifecycle, PointerReadsInPlaceAndCopyOwnsItsOwnBytes) {
    std::vector<char> packet(120, 0);
    BdPacketHandler pointing;
    BdPacketHandler owning;
    ASSERT_EQ(0, pointing.InitPointer(packet.data(), 120));
    ASSERT_EQ(0, owning.InitCopy(packet.data(), 120));
    packet[16] = 'Z';
    BdRouterHeader *seen = nullptr;
    ASSERT_EQ(0, pointing.GetPacketRouterHeader(&seen));
    EXPECT_EQ("Z", BdPacketText(seen->source_uuid));
    ASSERT_EQ(0, owning.GetPacketRouterHeader(&seen));
    EXPECT_EQ("", BdPacketText(seen->source_uuid));
    pointing.Destroy();
    owning.Destroy();
    EXPECT_EQ('Z', packet[16]);  // a pointing handler never frees or touches the caller's buffer
}

TEST(PacketHandlerLifecycle, ReinitialisingReleasesTheOwnedCopy) {
    std::vector<char> first(200, 'a');
    std::vector<char> second(120, 'b');
    BdPacketHandler handler;
    ASSERT_EQ(0, handler.InitCopy(first.data(), 200));
    ASSERT_EQ(0, handler.InitCopy(second.data(), 120));  // the sanitizer reports a leaked copy
    BdHeader *header = nullptr;
    ASSERT_EQ(0, handler.GetPacketHeader(&header));
    EXPECT_EQ('b', reinterpret_cast<char *>(header)[0]);
    ASSERT_EQ(0, handler.InitPointer(first.data(), 200));
    ASSERT_EQ(0, handler.InitCopy(second.data(), 120));
    EXPECT_EQ(0, handler.InitNormal());
    EXPECT_EQ(2, handler.GetPacketHeader(&header));
}

TEST(PacketHandlerLifecycle, CopyOfItsOwnPacketStaysReadable) {
    std::vector<char> packet(120, 'q');
    BdPacketHandler handler;
    ASSERT_EQ(0, handler.InitCopy(packet.data(), 120));
    BdHeader *own = nullptr;
    ASSERT_EQ(0, handler.GetPacketHeader(&own));
    ASSERT_EQ(0, handler.InitCopy(reinterpret_cast<char *>(own), 120));
    ASSERT_EQ(0, handler.GetPacketHeader(&own));
    EXPECT_EQ(std::string(120, 'q'), std::string(reinterpret_cast<char *>(own), 120));
}

TEST(PacketHandlerLifecycle, RefusedInitLeavesTheHandlerAsItWas) {
    std::vector<char> packet(120, 'r');
    BdPacketHandler handler;
    ASSERT_EQ(0, handler.InitCopy(packet.data(), 120));
    EXPECT_EQ(4, handler.InitCopy(nullptr, 120));
    EXPECT_EQ(4, handler.InitCopy(packet.data(), 0));
    EXPECT_EQ(4, handler.InitPointer(packet.data(), -1));
    BdRouterHeader *header = nullptr;
    EXPECT_EQ(0, handler.GetPacketRouterHeader(&header));
}

TEST(PacketHandlerCopies, CopyPacketHandsOverAnIndependentBlock) {
    std::vector<char> packet(300, 'c');
    BdPacketHandler handler;
    char *copy = nullptr;
    int copyLength = -1;
    EXPECT_EQ(2, handler.CopyPacket(&copy, &copyLength));
    EXPECT_EQ(4, handler.CopyPacket(nullptr, &copyLength));
    ASSERT_EQ(0, handler.InitPointer(packet.data(), 300));
    ASSERT_EQ(0, handler.CopyPacket(&copy, &copyLength));
    handler.Destroy();
    ASSERT_EQ(300, copyLength);
    EXPECT_NE(packet.data(), copy);
    EXPECT_EQ(0, memcmp(packet.data(), copy, 300));
    free(copy);
}

TEST(PacketHandlerCopies, CopyModuleHeaderSetsItsDataLengthAndNothingElse) {
    PacketBytes request(300);
    request.Text(120, kUuid).Int32(252, 2).Int32(268, 28);
    std::vector<char> source(request.bytes().begin(), request.bytes().end());
    BdPacketHandler handler;
    std::vector<char> dest(272, '#');
    EXPECT_EQ(2, handler.CopyModuleHeader(dest.data(), 272, 5));

    ASSERT_EQ(0, handler.InitPointer(source.data(), 271));
    EXPECT_EQ(25, handler.CopyModuleHeader(dest.data(), 272, 5));
    ASSERT_EQ(0, handler.InitPointer(source.data(), 300));
    EXPECT_EQ(4, handler.CopyModuleHeader(dest.data(), 271, 5));
    EXPECT_EQ(4, handler.CopyModuleHeader(nullptr, 272, 5));
    EXPECT_EQ(std::vector<char>(272, '#'), dest);  // refusals write nothing

    ASSERT_EQ(0, handler.CopyModuleHeader(dest.data(), 272, 5));
    EXPECT_EQ(std::string(120, '#'), std::string(dest.data(), 120));
    EXPECT_EQ(0, memcmp(source.data() + 120, dest.data() + 120, 148));
    EXPECT_EQ(5, reinterpret_cast<BdModuleHeader *>(dest.data() + 120)->data_len);
}

// Writers fill only their own structure: run each over a buffer of filler bytes.
class PacketWriterTest : public ::testing::Test {
  protected:
    PacketWriterTest() : buf_(500, '\xAA') {}
    // True when every byte outside [begin, end) still holds the filler.
    bool OnlyWrote(int begin, int end) const {
        for (int i = 0; i < 500; ++i) {
            if ((i < begin || i >= end) && buf_[i] != '\xAA') {
                return false;
            }
        }
        return true;
    }
    std::vector<char> buf_;
};

TEST_F(PacketWriterTest, PackHeaderWritesMagicLengthAndEightZeroBytes) {
    ASSERT_EQ(0, BdPacketHandler::PackHeader(buf_.data(), 16, 104, 0, kBdPacketMagic));
    PacketBytes expected(16);
    expected.Int32(0, 0xFAFBFCFDu).Int32(4, 104);
    EXPECT_EQ(expected.bytes(), Bytes(buf_.data(), 16));
    EXPECT_TRUE(OnlyWrote(0, 16));
    EXPECT_EQ(4, BdPacketHandler::PackHeader(buf_.data(), 15, 0, 0, kBdPacketMagic));
}

TEST_F(PacketWriterTest, RouterHeaderKeepsA36CharacterUuidAndEmptyTextsZero) {
    ASSERT_EQ(0, BdPacketHandler::PackRouterHeader(buf_.data(), 120, 0, kUuid, "", 1, 2, 3, 4, 5));
    EXPECT_TRUE(OnlyWrote(16, 120));
    const BdRouterHeader *header = reinterpret_cast<BdRouterHeader *>(buf_.data() + 16);
    EXPECT_EQ(kUuid, BdPacketText(header->source_uuid));
    EXPECT_EQ(std::string(4, '\0'), std::string(header->source_uuid + 36, 4));
    EXPECT_EQ(std::string(40, '\0'), std::string(header->target_uuid, 40));
    EXPECT_EQ("", BdPacketText(header->target_uuid));
}

TEST_F(PacketWriterTest, TooLongTextsAreCutLeavingATerminatingZero) {
    ASSERT_EQ(
        0, BdPacketHandler::PackHandShakePacket(buf_.data(), 456, std::string(45, 'u'), "", "", "",
                                                std::string(25, 'p'), std::string(64, 'h'), 0, ""));
    const BdHandShakePacket *data = reinterpret_cast<BdHandShakePacket *>(buf_.data() + 120);
    EXPECT_EQ(std::string(39, 'u'), std::string(data->uuid));
    EXPECT_EQ(std::string(19, 'p'), std::string(data->process_type));
    EXPECT_EQ(std::string(63, 'h'), std::string(data->hostname));
    EXPECT_TRUE(OnlyWrote(120, 456));
}

TEST_F(PacketWriterTest, HandShakeSuccessStoresEachTextWhole) {
    ASSERT_EQ(0, BdPacketHandler::PackHandShakeSuccessPacket(buf_.data(), 200, kUuid, "p-1"));
    PacketBytes expected(80);
    expected.Text(0, kUuid).Text(40, "p-1");
    EXPECT_EQ(expected.bytes(), Bytes(buf_.data() + 120, 80));
    EXPECT_TRUE(OnlyWrote(120, 200));
}

TEST_F(PacketWriterTest, ModuleHeaderLeavesReservedZero) {
    ASSERT_EQ(0, BdPacketHandler::PackModuleHeader(buf_.data(), 272, 9, "ref", 1, 2, 3, 4, 5, 6,
                                                   "src-thread", "dst-thread"));
    PacketBytes expected(152);
    expected.Text(0, "ref").Text(40, "src-thread").Text(80, "dst-thread").Int32(120, 1);
    expected.Int32(124, 2).Int32(128, 6).Int32(132, 3).Int32(136, 4).Int32(140, 5);
    expected.Int32(148, 9);
    EXPECT_EQ(expected.bytes(), Bytes(buf_.data() + 120, 152));
    EXPECT_TRUE(OnlyWrote(120, 272));
}

TEST_F(PacketWriterTest, RefusalsWriteNothing) {
    const std::vector<char> untouched = buf_;
    EXPECT_EQ(4,
              BdPacketHandler::PackRouterHeader(buf_.data(), 119, 0, kUuid, kUuid, 0, 0, 0, 0, 0));
    EXPECT_EQ(4, BdPacketHandler::PackRouterHeader(nullptr, 120, 0, kUuid, kUuid, 0, 0, 0, 0, 0));
    EXPECT_EQ(4,
              BdPacketHandler::PackModuleHeader(buf_.data(), 271, 0, "", 0, 0, 0, 0, 0, 0, "", ""));
    EXPECT_EQ(4, BdPacketHandler::PackHandShakePacket(buf_.data(), 455, kUuid, "", "", "", "", "",
                                                      0, ""));
    EXPECT_EQ(4, BdPacketHandler::PackHandShakePacket(buf_.data(), 456, "", "", "", "", "", "", 0,
                                                      kUuid));
    EXPECT_EQ(4, BdPacketHandler::PackHandShakeSuccessPacket(buf_.data(), 199, kUuid, kUuid));
    EXPECT_EQ(4, BdPacketHandler::PackHandShakeSuccessPacket(buf_.data(), 200, kUuid, ""));
    EXPECT_EQ(4, BdPacketHandler::PackHandShakeSuccessPacket(buf_.data(), 200, "", kUuid));
    EXPECT_EQ(untouched, buf_);
}

TEST_F(PacketWriterTest, CommonDataMustFitTheBuffer) {
    const std::string json = "{\"a\":1}\n";
    const int size = static_cast<int>(json.size());
    const std::vector<char> untouched = buf_;
    EXPECT_EQ(4, BdPacketHandler::PackCommonData(buf_.data(), 272 + size - 1, json.data(), size));
    EXPECT_EQ(4, BdPacketHandler::PackCommonData(buf_.data(), 271, json.data(), 0));
    EXPECT_EQ(4, BdPacketHandler::PackCommonData(buf_.data(), 300, json.data(), 0));
    EXPECT_EQ(4, BdPacketHandler::PackCommonData(buf_.data(), 300, nullptr, size));
    EXPECT_EQ(untouched, buf_);
    ASSERT_EQ(0, BdPacketHandler::PackCommonData(buf_.data(), 272 + size, json.data(), size));
    EXPECT_EQ(json, std::string(buf_.data() + 272, size));
    EXPECT_TRUE(OnlyWrote(272, 272 + size));
}

TEST(PacketText, StopsAtTheFieldWidthWhenThePeerLeftNoZero) {
    struct {
        char field[40];
        char next[8];
    } unterminated;
    memset(unterminated.field, 'x', sizeof unterminated.field);
    memset(unterminated.next, 'y', sizeof unterminated.next);
    EXPECT_EQ(std::string(40, 'x'), BdPacketText(unterminated.field));
}

TEST(PacketSizes, MatchTheWire) {
    EXPECT_EQ(16, BdPacketHandler::GetHeaderLen());
    EXPECT_EQ(104, BdPacketHandler::GetRouterHeaderLen());
    EXPECT_EQ(152, BdPacketHandler::GetModuleHeaderLen());
}

}  // namespace
