// BdPacketBlocks: the malloc blocks that carry packets to a write queue, kept for reuse.
//
// Forwarding copies every packet into a block of its own that the target's write queue frees once
// sent: a malloc and a free per packet. Here a released block whose size fits one of a few size
// classes is kept, per thread, for the next packet of that class instead of being freed. Every
// block handed out is an ordinary malloc block, so the ownership rules of the write queue hold
// unchanged: whoever owns one may free() it, and Release takes any malloc block.
//
// Threads: any thread; each keeps blocks of its own, without a lock. A thread keeps at most
// kCachedBytesPerClass per class and frees them when it ends.
#ifndef BD_NETFRAMWORK_BD_PACKET_BLOCKS_H
#define BD_NETFRAMWORK_BD_PACKET_BLOCKS_H

#include <stddef.h>

namespace BdPacketBlocks {

// Bounds what a quiet thread keeps after a burst: at most this many bytes of idle blocks per size
// class (17 classes from 256 bytes to 64 KiB), about 2 MiB in all.
constexpr size_t kCachedBytesPerClass = 128 * 1024;

// A malloc block of at least length bytes; null when memory is exhausted.
char *Allocate(size_t length);
// Takes back a malloc block, as free() would; null is ignored.
void Release(char *block);

}  // namespace BdPacketBlocks

#endif  // BD_NETFRAMWORK_BD_PACKET_BLOCKS_H
