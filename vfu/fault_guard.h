// Copies from and to the client's memory files that a fault cannot turn into the server's
// death. A mapping of a file the client owns can lose its pages under us at any moment: the
// client truncates the file (a file without seals allows it), or the filesystem cannot supply a
// page (a full tmpfs, an empty huge page pool). The next access to such a page raises SIGBUS.
// A guarded copy catches that fault on its own thread, inside the spans it names, and returns
// false instead: the DMA fails, as one the board's bus refused. A fault anywhere else goes on
// to the handler that was there before (the default one ends the process, as it always did).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vfu {

// Installs the SIGBUS handler once per process; later calls do nothing.
void InstallFaultGuard();

// A span of the client's memory as we map it: a fault there is the client's.
struct ClientSpan {
  const uint8_t* lo = nullptr;
  uint64_t bytes = 0;
};

// memmove(dst, src, n), where dst, src or both lie in `a` or `b` (an empty span: none). False
// when a page of theirs faulted: then some of the bytes may have moved, the rest not.
bool GuardedMove(void* dst, const void* src, size_t n, ClientSpan a, ClientSpan b = {});

}  // namespace vfu
