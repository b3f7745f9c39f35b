// The router's hand-over state decoder over arbitrary bytes: once as they come, and once as the
// payload of a header that is right (magic, version, length, checksum), so that the fuzzer reaches
// the fields rather than the checksum. A state the decoder accepts must encode back to the very
// bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "rt_server/rt_server_handover.h"

namespace {

void Decode(const std::string &bytes) {
    RtHandoverState state;
    std::string why;
    if (RtDecodeHandover(bytes, &state, &why)) {
        FUZZ_CHECK(why.empty());
        FUZZ_CHECK(RtEncodeHandover(state) == bytes);
    } else {
        FUZZ_CHECK(!why.empty());
        FUZZ_CHECK(state.connections.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    Decode(input);
    Decode(RtSealHandoverPayload(input));
    return 0;
}
