#include "bd_netframwork/bd_packet_handler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/packet_bytes.h"

namespace {

using H = BdPacketHandler;
const std::string kUuid = "0f5b3c1e-8a7d-4c2b-9e61-3d2f4a5b6c7d";

// Checks one accessor in both forms: offset, length rule at its boundary, and refusals.
template <typename T>
void CheckAccessor(const char *structure, int offset, int minLength, bool exactLength,
                   bool refusesLengthBelowOne, int (H::*member)(T **),
                   int (*buffer)(const char *, int, const T **)) {
    SCOPED_TRACE(structure);
    std::vector<char> packet(minLength + 1, 'p');
    for (int length : {minLength - 1, minLength, minLength + 1}) {
        SCOPED_TRACE(length);
        const bool fits = exactLength ? length == minLength : length >= minLength;
        const char *expectedAt = fits ? packet.data() + offset : nullptr;

        const T *fromBuffer = nullptr;
        EXPECT_EQ(fits ? 0 : 25, buffer(packet.data(), length, &fromBuffer));
        EXPECT_EQ(expectedAt, reinterpret_cast<const char *>(fromBuffer));

        BdPacketHandler handler;
        ASSERT_EQ(0, handler.InitPointer(packet.data(), length));
        T *fromMember = nullptr;
        EXPECT_EQ(fits ? 0 : 25, (handler.*member)(&fromMember));
        EXPECT_EQ(expectedAt, reinterpret_cast<char *>(fromMember));
    }

    const T *at = nullptr;
    EXPECT_EQ(4, buffer(nullptr, minLength, &at));
    EXPECT_EQ(4, buffer(packet.data(), minLength, nullptr));
    EXPECT_EQ(refusesLengthBelowOne ? 4 : 25, buffer(packet.data(), 0, &at));

    BdPacketHandler handler;
    T *own = nullptr;
    EXPECT_EQ(2, (handler.*member)(&own));
    ASSERT_EQ(0, handler.InitCopy(packet.data(), minLength));
    EXPECT_EQ(4, (handler.*member)(nullptr));
    handler.Destroy();
    EXPECT_EQ(2, (handler.*member)(&own));
}

TEST(PacketHandlerAccessors, FollowTheirOffsetsAndLengthRules) {
    CheckAccessor<BdHeader>("net header", 0, 16, false, false, &H::GetPacketHeader,
                            &H::GetPacketHeader);
    CheckAccessor<BdRouterHeader>("router header", 16, 120, false, false, &H::GetPacketRouterHeader,
                                  &H::GetPacketRouterHeader);
    CheckAccessor<BdModuleHeader>("module header", 120, 272, false, false,
                                  &H::GetPacketModuleHeader, &H::GetPacketModuleHeader);
    CheckAccessor<BdHandShakePacket>("handshake data", 120, 456, false, false,
                                     &H::GetPacketHandshakeData, &H::GetPacketHandshakeData);
    CheckAccessor<char>("payload, empty at exactly 272 bytes", 272, 272, false, false,
                        &H::GetCommonPacketData, &H::GetCommonPacketData);
    CheckAccessor<BdCommonAckHeader>("common ack header", 272, 280, false, true,
                                     &H::GetCommonAckHeader, &H::GetCommonAckHeader);
    CheckAccessor<BdRpcCreateConnectionMessage>("connection request, exactly 448 bytes", 272, 448,
                                                true, true, &H::BdGetRpcCreateConnMessage,
                                                &H::BdGetRpcCreateConnMessage);
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
    EXPECT_EQ('Z', packet[16]);  // a pointing handler never frees or touches the caller's buffer
}

// Leaks on these paths are reported by the sanitizer build.
TEST(PacketHandlerLifecycle, ReinitialisingReleasesTheOwnedCopy) {
    std::vector<char> first(200, 'a');
    std::vector<char> second(120, 'b');
    BdPacketHandler handler;
    ASSERT_EQ(0, handler.InitCopy(first.data(), 200));
    ASSERT_EQ(0, handler.InitCopy(second.data(), 120));
    ASSERT_EQ(0, handler.InitPointer(first.data(), 200));
    ASSERT_EQ(0, handler.InitCopy(second.data(), 120));

    // Refused calls leave the copy in place.
    EXPECT_EQ(4, handler.InitCopy(nullptr, 120));
    EXPECT_EQ(4, handler.InitPointer(first.data(), 0));
    BdHeader *own = nullptr;
    ASSERT_EQ(0, handler.GetPacketHeader(&own));
    EXPECT_EQ('b', reinterpret_cast<char *>(own)[0]);

    // Copying its own packet must read it before releasing it.
    ASSERT_EQ(0, handler.InitCopy(reinterpret_cast<char *>(own), 120));
    ASSERT_EQ(0, handler.GetPacketHeader(&own));
    EXPECT_EQ(std::string(120, 'b'), std::string(reinterpret_cast<char *>(own), 120));

    EXPECT_EQ(0, handler.InitNormal());
    EXPECT_EQ(2, handler.GetPacketHeader(&own));
    ASSERT_EQ(0, handler.InitCopy(first.data(), 200));  // left to the destructor
}

TEST(PacketHandlerCopies, CopyPacketHandsOverAnIndependentBlock) {
    std::vector<char> packet(300, 'c');
    BdPacketHandler handler;
    char *copy = nullptr;
    int copyLength = -1;
    EXPECT_EQ(2, handler.CopyPacket(&copy, &copyLength));
    ASSERT_EQ(0, handler.InitPointer(packet.data(), 300));
    EXPECT_EQ(4, handler.CopyPacket(nullptr, &copyLength));
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
    EXPECT_EQ(std::vector<char>(272, '#'), dest);

    ASSERT_EQ(0, handler.CopyModuleHeader(dest.data(), 272, 5));
    EXPECT_EQ(std::string(120, '#'), std::string(dest.data(), 120));
    EXPECT_EQ(0, memcmp(source.data() + 120, dest.data() + 120, 148));
    EXPECT_EQ(5, reinterpret_cast<BdModuleHeader *>(dest.data() + 120)->data_len);
}

TEST(PacketWriters, TouchOnlyTheirOwnStructure) {
    const std::string json = "{\"a\":1}\n";
    struct Case {
        const char *name;
        int begin;
        int end;
        std::function<int(char *)> write;
    } cases[] = {
        {"header", 0, 16, [](char *b) { return H::PackHeader(b, 16, 0, 0, kBdPacketMagic); }},
        {"router header", 16, 120,
         [](char *b) { return H::PackRouterHeader(b, 120, 0, kUuid, "", 1, 2, 3, 4, 5); }},
        {"module header", 120, 272,
         [](char *b) { return H::PackModuleHeader(b, 272, 0, "", 0, 0, 0, 0, 0, 0, "", ""); }},
        {"handshake data", 120, 456,
         [](char *b) { return H::PackHandShakePacket(b, 456, kUuid, "", "", "", "", "", 0, ""); }},
        {"handshake-success data", 120, 200,
         [](char *b) { return H::PackHandShakeSuccessPacket(b, 200, kUuid, kUuid); }},
        {"payload", 272, 280,
         [&json](char *b) { return H::PackCommonData(b, 280, json.data(), 8); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> buf(500, '\xAA');
        ASSERT_EQ(0, c.write(buf.data()));
        for (int i = 0; i < 500; ++i) {
            if (i < c.begin || i >= c.end) {
                ASSERT_EQ('\xAA', buf[i]) << "byte " << i;
            }
        }
    }
}

TEST(PacketWriters, ModuleHeaderFieldsSitWhereTheyBelong) {
    std::vector<char> buf(272, '\xAA');
    ASSERT_EQ(0, H::PackModuleHeader(buf.data(), 272, 9, "ref", 1, 2, 3, 4, 5, 6, "src-thread",
                                     "dst-thread"));
    PacketBytes expected(152);  // reserved at 144 stays zero
    expected.Text(0, "ref").Text(40, "src-thread").Text(80, "dst-thread").Int32(120, 1);
    expected.Int32(124, 2).Int32(128, 6).Int32(132, 3).Int32(136, 4).Int32(140, 5);
    expected.Int32(148, 9);
    EXPECT_EQ(expected.bytes(), Bytes(buf.data() + 120, 152));
}

TEST(PacketWriters, UuidsFitAndTooLongTextsAreCutLeavingATerminatingZero) {
    std::vector<char> buf(456, '\xAA');
    ASSERT_EQ(0, H::PackRouterHeader(buf.data(), 120, 0, kUuid, "", 0, 0, 0, 0, 0));
    const BdRouterHeader *router = reinterpret_cast<BdRouterHeader *>(buf.data() + 16);
    EXPECT_EQ(kUuid + std::string(4, '\0'), std::string(router->source_uuid, 40));
    EXPECT_EQ(std::string(40, '\0'), std::string(router->target_uuid, 40));

    ASSERT_EQ(0, H::PackHandShakePacket(buf.data(), 456, std::string(45, 'u'), "", "", "",
                                        std::string(25, 'p'), std::string(64, 'h'), 0, ""));
    const BdHandShakePacket *data = reinterpret_cast<BdHandShakePacket *>(buf.data() + 120);
    EXPECT_EQ(std::string(39, 'u'), std::string(data->uuid));
    EXPECT_EQ(std::string(19, 'p'), std::string(data->process_type));
    EXPECT_EQ(std::string(63, 'h'), std::string(data->hostname));
}

TEST(PacketWriters, RefusalsWriteNothing) {
    std::vector<char> buf(500, '\xAA');
    const std::vector<char> untouched = buf;
    char *b = buf.data();
    EXPECT_EQ(4, H::PackHeader(b, 15, 0, 0, kBdPacketMagic));
    EXPECT_EQ(4, H::PackRouterHeader(b, 119, 0, kUuid, kUuid, 0, 0, 0, 0, 0));
    EXPECT_EQ(4, H::PackRouterHeader(nullptr, 120, 0, kUuid, kUuid, 0, 0, 0, 0, 0));
    EXPECT_EQ(4, H::PackModuleHeader(b, 271, 0, "", 0, 0, 0, 0, 0, 0, "", ""));
    EXPECT_EQ(4, H::PackHandShakePacket(b, 455, kUuid, "", "", "", "", "", 0, ""));
    EXPECT_EQ(4, H::PackHandShakePacket(b, 456, "", "", "", "", "", "", 0, kUuid));
    EXPECT_EQ(4, H::PackHandShakeSuccessPacket(b, 199, kUuid, kUuid));
    EXPECT_EQ(4, H::PackHandShakeSuccessPacket(b, 200, kUuid, ""));
    EXPECT_EQ(4, H::PackHandShakeSuccessPacket(b, 200, "", kUuid));
    EXPECT_EQ(4, H::PackCommonData(b, 279, "{\"a\":1}\n", 8));  // one byte short of 272 + 8
    EXPECT_EQ(4, H::PackCommonData(b, 300, "{}", 0));
    EXPECT_EQ(4, H::PackCommonData(b, 300, nullptr, 2));
    EXPECT_EQ(untouched, buf);
}

TEST(PacketText, StopsAtTheFieldWidthWhenThePeerLeftNoZero) {
    struct {
        char field[40];
        char next[8];
    } unterminated;
    memset(&unterminated, 'x', sizeof unterminated);
    EXPECT_EQ(std::string(40, 'x'), BdPacketText(unterminated.field));
}

}  // namespace
