// The program's side of the device boundary: DMA buffer locking, scatter/gather descriptor
// tables and completion interrupts. Every routine returns 1 when it did its work and 0 when not,
// and reports a failed library call on the console itself, so callers only test the result.
#pragma once

#include <cstdint>

#include "regs/regs.h"
#include "wdc/wdc_lib.h"
#include "platform/platform.h"

// ---- Buffer locking ---------------------------------------------------------------------------
// deviceReads: non-zero when the board reads the buffer (DMA_OPT_TO_DEVICE), zero when it writes
// it (DMA_OPT_FROM_DEVICE). On 1 the caller owns *ppDma until DIAG_UnlockBuf. On 0 the failure
// line has been printed and *ppDma (and *ppBuf) must not be used.
//
// A record the controller cannot be given is refused as if the lock had failed: a page that
// reaches above 4 GiB (its address fields are 32 bits), a page or total length of 0x20000000
// or more (the count shares its word with the flag bits), or no page at all.
int DIAG_LockContigBuf(WdcDeviceHandle hDev, void** ppBuf, int deviceReads, uint32_t size,
                       WdcDmaRecord** ppDma);
int DIAG_LockSgBuf(WdcDeviceHandle hDev, void* pBuf, int deviceReads, uint32_t size,
                   WdcDmaRecord** ppDma);
// Silent; an empty (null) record is ignored.
void DIAG_UnlockBuf(WdcDmaRecord* pDma);

// ---- Scatter/gather descriptor tables -------------------------------------------------------
// Builds the descriptor table of a locked scatter/gather buffer in a contiguous DMA buffer of its
// own, points `channel` at it and arms the channel through DMA_START. memWrite non-zero: the board
// writes the buffer. On 1 *ppTable holds the table's record, which the caller unlocks after it
// has stopped the run. On 0 (the table could not be locked) *ppTable and the board are untouched.
int DIAG_ProgramSgChannel(WdcDeviceHandle hDev, uint32_t channel, const WdcDmaRecord* pSg,
                          int memWrite, WdcDmaRecord** ppTable);

// ---- Completion interrupts ------------------------------------------------------------------
// One test's interrupt state. Zero-initialise it ({}) before anything that can fail, so that
// DIAG_IntRelease can always run on the exit path.
struct DiagIntRegistration {
  WdcTransferCmd trans[2];       // read INT_CTRL, then mask it with the test's status bits
  platform::EventHandle hEvent;  // the completion event; null until created
};

enum : uint32_t {
  DIAG_INT_NUM_CMDS = 2,
  DIAG_INTEGRITY_WAIT_MS = 1000,
  DIAG_BACKLOOP_WAIT_MS = 2000,
};

// Runs on the library's interrupt thread: only signals the event given as data.
void DIAG_IntHandler(void* data);
// Fills the transfer list, creates the event and hands both to WDC_IntEnable. 0 when the event
// cannot be created (silently) or WDC_IntEnable fails (with its failure line). Only after 1 may
// the caller write INT_ENABLE to INT_CTRL.
int DIAG_IntRegister(WdcDeviceHandle hDev, uint32_t statusMask, DiagIntRegistration* reg);
// 1 when the completion event was signalled within timeoutMs; otherwise prints the waiting
// failure line and returns 0.
int DIAG_IntWait(DiagIntRegistration* reg, uint32_t timeoutMs);
// Withdraws whatever DIAG_IntRegister left behind; safe on a registration never registered.
void DIAG_IntRelease(WdcDeviceHandle hDev, DiagIntRegistration* reg);
