// Giving freed memory back to the system.
//
// The allocator keeps what a process frees for later use: after a burst of large packets or a mass
// disconnect the router would stay as large as it once was. Whoever frees a large block counts it
// with BdNoteFreed; the event loop calls BdReturnFreedMemory once per turn, which trims the heap
// when enough has been freed since the last trim, so a busy router does not trim on every turn.
#ifndef BD_NETFRAMWORK_BD_MEMORY_RETURN_H
#define BD_NETFRAMWORK_BD_MEMORY_RETURN_H

#include <chrono>
#include <cstddef>

// Blocks smaller than this are left to the allocator's own reuse.
constexpr size_t kBdLargeBlockBytes = 64 * 1024;
// Freed bytes that make a trim worth its cost (it walks the heap).
constexpr size_t kBdTrimAfterFreedBytes = 32 * 1024 * 1024;
// The shortest time between two trims.
constexpr std::chrono::milliseconds kBdTrimInterval{1000};

// Blocks this large or larger are mapped on their own and go back to the system when freed.
constexpr size_t kBdMappedBlockBytes = 32 * 1024 * 1024;
// Freed memory at the top of the heap up to this much stays for the next packets; the trims
// below give it back.
constexpr size_t kBdHeapTopKeptBytes = 8 * 1024 * 1024;

// Sets the allocator to the two figures above. Once, before the event loop runs.
void BdKeepHeapForPackets();
// Counts a freed block of size bytes if it is large. Any thread; lock-free.
void BdNoteFreed(size_t size);
// Trims the heap when kBdTrimAfterFreedBytes have been counted since the last trim and the last
// trim is kBdTrimInterval ago; true when it trimmed. Event-loop thread.
bool BdReturnFreedMemory();

#endif  // BD_NETFRAMWORK_BD_MEMORY_RETURN_H
