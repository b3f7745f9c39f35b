// rt_peer: a command-line peer of the router, for operators checking a live router and for
// anyone learning its protocol.
#include <iostream>

#include "rt_tools/rt_peer_options.h"
#include "rt_tools/rt_peer_session.h"

int main(int argc, char **argv) {
    RtPeerOptions options;
    const int parsed = RtPeerCommandLine::Parse(argc, argv, std::cin, std::cerr, &options);
    if (parsed != kRtPeerExitOk) {
        return parsed;
    }
    if (options.help) {
        RtPeerCommandLine::ShowHelp(argv[0], std::cout);
        return kRtPeerExitOk;
    }
    RtPeerSession session(options, std::cout, std::cerr);
    return session.Run();
}
