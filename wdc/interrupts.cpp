// Interrupts: one library thread per enabled device waits on the board's line, runs the
// transfer list and calls the handler. The per-interrupt path allocates nothing and takes no
// lock of the library's: the completion of every DMA transfer waits for it.
#include <new>
#include <system_error>

#include "library_state.h"

namespace wdc {
namespace {

thread_local InterruptState* t_interrupt = nullptr;

inline WdcStatus CheckForced(Op op) {
  return WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(op)]) ? ForcedFailure(op)
                                                                : WDC_STATUS_SUCCESS;
}

bool ReadKernelWord(void* context, uint32_t kernel_addr, uint32_t* value) {
  InterruptState* state = static_cast<InterruptState*>(context);
  uint32_t space = 0, offset = 0;
  if (!TranslateKernelAddr(state->windows, kernel_addr, &space, &offset)) return false;
  uint64_t word = 0;
  if (state->board->Read(space, offset, 4, &word) != WDC_STATUS_SUCCESS) return false;
  *value = static_cast<uint32_t>(word);
  return true;
}

void InterruptThread(InterruptState* state) {
  t_interrupt = state;
  // Stopping is checked after each wait too: an interrupt that raced with the disable must
  // not reach the handler once WDC_IntDisable has begun.
  // One pass of the list serves however many interrupts a wait stands for: the list reads the
  // board's status, which holds the cause of each of them.
  while (!state->stopping.load(std::memory_order_acquire) && state->board->InterruptWait() != 0) {
    if (state->stopping.load(std::memory_order_acquire)) break;
    if (RunTransferList(state->cmds, state->num_cmds, &ReadKernelWord, state))
      state->handler(state->data);
    state->board->InterruptUnmask();
  }
  t_interrupt = nullptr;
}

}  // namespace

InterruptState* CurrentInterruptThread() { return t_interrupt; }

void StopInterrupt(InterruptState* state) {
  state->stopping.store(true, std::memory_order_release);
  state->board->InterruptDetach();
}

void JoinInterrupt(InterruptState* state) {
  state->thread.join();
  delete state;
}

}  // namespace wdc

using namespace wdc;

WdcStatus WDC_IntEnable(WdcDeviceHandle hDev, WdcTransferCmd* cmds, uint32_t numCmds,
                        uint32_t /*options*/, WdcIntHandler handler, void* data,
                        uint32_t /*useKP*/) {
  // No kernel plug-in exists here: the handler always runs on the library's thread.
  if (WdcStatus forced = CheckForced(Op::IntEnable)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return RefuseHandle();
  if (slot->interrupt.load(std::memory_order_acquire) != nullptr)
    return WDC_STATUS_INT_ALREADY_ENABLED;
  if (handler == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const WdcStatus list_status = CheckTransferList(cmds, numCmds, slot->windows);
  if (list_status != WDC_STATUS_SUCCESS) return list_status;

  InterruptState* state = new (std::nothrow) InterruptState;
  if (state == nullptr) return WDC_STATUS_NO_MEMORY;
  state->board = slot->board;
  state->windows = slot->windows;
  // The caller's list may change or go away after the call.
  for (uint32_t i = 0; i < numCmds; ++i) state->cmds[i] = cmds[i];
  state->num_cmds = numCmds;
  state->handler = handler;
  state->data = data;
  if (const WdcStatus attached = state->board->InterruptAttach()) {
    delete state;
    return attached;
  }
  // Published before the thread starts: its handler may already ask about it.
  slot->interrupt.store(state, std::memory_order_release);
  try {
    state->thread = std::thread(InterruptThread, state);
  } catch (const std::system_error&) {
    slot->interrupt.store(nullptr, std::memory_order_release);
    state->board->InterruptDetach();
    delete state;
    return WDC_STATUS_NO_MEMORY;
  }
  return WDC_STATUS_SUCCESS;
}

int WDC_IntIsEnabled(WdcDeviceHandle hDev) {
  // Lock-free: the handler may ask, from the thread a disable is joining.
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return 0;
  return slot->interrupt.load(std::memory_order_acquire) != nullptr ? 1 : 0;
}

WdcStatus WDC_IntDisable(WdcDeviceHandle hDev) {
  if (WdcStatus forced = CheckForced(Op::IntDisable)) return forced;
  LibraryState& lib = Lib();
  // The mutex is never held across a join, so a handler may wait for it here.
  std::unique_lock<std::mutex> lock(lib.mu);
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return RefuseHandle();
  InterruptState* state = slot->interrupt.load(std::memory_order_acquire);
  if (state == nullptr) return WDC_STATUS_INT_NOT_ENABLED;
  if (state == CurrentInterruptThread()) return WDC_STATUS_WRONG_THREAD;
  slot->interrupt.store(nullptr, std::memory_order_release);
  StopInterrupt(state);
  lock.unlock();
  JoinInterrupt(state);
  return WDC_STATUS_SUCCESS;
}
