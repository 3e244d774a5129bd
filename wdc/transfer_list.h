// The interrupt transfer list: checked once when it is registered and run on every interrupt.
// Kept apart from the thread and the handles so that it can be exercised with arbitrary lists.
#pragma once

#include <cstdint>

#include "wdc/wdc_lib.h"

namespace wdc {

constexpr uint32_t kMaxTransferCmds = 64;

// The kernel-mapped view of one device: where each address space appears in the 32-bit kernel
// address range the list addresses, and how many bytes of it are reachable there (0: none).
struct KernelWindows {
  uint32_t base[WDC_MAX_ADDR_SPACES];
  uint32_t bytes[WDC_MAX_ADDR_SPACES];
};

// The address space and byte offset of the aligned 32-bit word at `kernel_addr`, when that
// whole word lies inside one window.
bool TranslateKernelAddr(const KernelWindows& windows, uint32_t kernel_addr, uint32_t* space,
                         uint32_t* offset);

// Reads the 32-bit word at a kernel address; false when it cannot be read.
using KernelRead = bool (*)(void* context, uint32_t kernel_addr, uint32_t* value);

// Runs the list once. True when the handler is due: the list ran to its end and the result of
// its last mask is non-zero. A count out of range, an unknown command or a read that fails ends
// the list with false. Allocates nothing: this runs on every interrupt.
bool RunTransferList(const WdcTransferCmd* cmds, uint32_t num_cmds, KernelRead read,
                     void* context);

// WDC_STATUS_SUCCESS when the list may be registered for a device with these windows, else
// WDC_STATUS_BAD_TRANSFER_LIST.
WdcStatus CheckTransferList(const WdcTransferCmd* cmds, uint32_t num_cmds,
                            const KernelWindows& windows);

}  // namespace wdc
