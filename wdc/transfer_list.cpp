#include "transfer_list.h"

namespace wdc {

bool TranslateKernelAddr(const KernelWindows& windows, uint32_t kernel_addr, uint32_t* space,
                         uint32_t* offset) {
  if (kernel_addr % 4 != 0) return false;
  for (uint32_t i = 0; i < WDC_MAX_ADDR_SPACES; ++i) {
    const uint32_t bytes = windows.bytes[i];
    if (bytes < 4 || kernel_addr < windows.base[i]) continue;
    // Subtract before comparing: base + bytes may wrap past 4 GiB.
    const uint32_t off = kernel_addr - windows.base[i];
    if (off <= bytes - 4) {
      *space = i;
      *offset = off;
      return true;
    }
  }
  return false;
}

bool RunTransferList(const WdcTransferCmd* cmds, uint32_t num_cmds, KernelRead read,
                     void* context) {
  if (cmds == nullptr || num_cmds == 0 || num_cmds > kMaxTransferCmds) return false;
  uint32_t last_read = 0;
  bool masked = false;
  uint32_t last_mask = 0;
  for (uint32_t i = 0; i < num_cmds; ++i) {
    const WdcTransferCmd& cmd = cmds[i];
    switch (cmd.cmdTrans) {
      case WDC_TRANS_READ_DWORD:
        if (!read(context, cmd.dwAddr, &last_read)) return false;
        break;
      case WDC_TRANS_MASK:
        last_mask = last_read & cmd.dwData;
        masked = true;
        break;
      default:
        return false;
    }
  }
  return masked && last_mask != 0;
}

WdcStatus CheckTransferList(const WdcTransferCmd* cmds, uint32_t num_cmds,
                            const KernelWindows& windows) {
  if (cmds == nullptr || num_cmds == 0 || num_cmds > kMaxTransferCmds)
    return WDC_STATUS_BAD_TRANSFER_LIST;
  for (uint32_t i = 0; i < num_cmds; ++i) {
    uint32_t space = 0, offset = 0;
    switch (cmds[i].cmdTrans) {
      case WDC_TRANS_READ_DWORD:
        if (!TranslateKernelAddr(windows, cmds[i].dwAddr, &space, &offset))
          return WDC_STATUS_BAD_TRANSFER_LIST;
        break;
      case WDC_TRANS_MASK:
        break;
      default:
        return WDC_STATUS_BAD_TRANSFER_LIST;
    }
  }
  return WDC_STATUS_SUCCESS;
}

}  // namespace wdc
