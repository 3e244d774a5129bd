// The transfer-list interpreter, WDC_IntEnable's checks and the library's interrupt thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "wdc_test_util.h"
#include "regs/regs.h"
#include "transfer_list.h"

namespace {

using wdc_test::LibraryTest;

WdcTransferCmd Read(uint32_t addr) {
  WdcTransferCmd cmd{};
  cmd.cmdTrans = WDC_TRANS_READ_DWORD;
  cmd.dwAddr = addr;
  return cmd;
}

WdcTransferCmd Mask(uint32_t mask) {
  WdcTransferCmd cmd{};
  cmd.cmdTrans = WDC_TRANS_MASK;
  cmd.dwData = mask;
  return cmd;
}

// ---- The interpreter, on its own ---------------------------------------------------------------

// A scripted memory: 0x1000 reads `word`, 0x2000 reads `other`, every other address fails.
struct ScriptedReads {
  uint32_t word = 0;
  uint32_t other = 0;
  std::vector<uint32_t> addresses;
  static bool Read(void* context, uint32_t addr, uint32_t* value) {
    ScriptedReads* self = static_cast<ScriptedReads*>(context);
    self->addresses.push_back(addr);
    if (addr == 0x1000) *value = self->word;
    else if (addr == 0x2000) *value = self->other;
    else return false;
    return true;
  }
  bool Run(std::vector<WdcTransferCmd> cmds) {
    return wdc::RunTransferList(cmds.data(), static_cast<uint32_t>(cmds.size()),
                                &ScriptedReads::Read, this);
  }
};

TEST(WdcTransferList, MaskedWordDecidesTheHandler) {
  ScriptedReads mem;
  mem.word = 0x81;
  EXPECT_TRUE(mem.Run({Read(0x1000), Mask(0x1)}));
  EXPECT_TRUE(mem.Run({Read(0x1000), Mask(0x80)}));
  EXPECT_FALSE(mem.Run({Read(0x1000), Mask(0x2)}));
  mem.word = 0;
  EXPECT_FALSE(mem.Run({Read(0x1000), Mask(0xFFFFFFFF)}));
  EXPECT_EQ(mem.addresses, std::vector<uint32_t>(4, 0x1000));
}

TEST(WdcTransferList, LastReadAndLastMaskCount) {
  ScriptedReads mem;
  mem.word = 0x1;
  mem.other = 0x2;
  EXPECT_TRUE(mem.Run({Read(0x2000), Read(0x1000), Mask(0x1)}));
  EXPECT_FALSE(mem.Run({Read(0x1000), Read(0x2000), Mask(0x1)}));
  EXPECT_FALSE(mem.Run({Read(0x1000), Mask(0x1), Mask(0x2)}));
  EXPECT_TRUE(mem.Run({Read(0x1000), Mask(0x2), Mask(0x1)}));
}

TEST(WdcTransferList, NoCallWithoutAMaskOrAfterAFailure) {
  ScriptedReads mem;
  mem.word = 0xFFFFFFFF;
  EXPECT_FALSE(mem.Run({Read(0x1000)}));
  EXPECT_FALSE(mem.Run({Mask(0xFFFFFFFF)})) << "nothing read yet";
  EXPECT_FALSE(mem.Run({Read(0x3000), Mask(0xFFFFFFFF)})) << "unreadable address";
  mem.addresses.clear();
  EXPECT_FALSE(mem.Run({Read(0x1000), Mask(1), Read(0x3000), Read(0x1000), Mask(1)}));
  EXPECT_EQ(mem.addresses.size(), 2u) << "the list stops at the failed read";
  WdcTransferCmd unknown = Mask(1);
  unknown.cmdTrans = 3;
  EXPECT_FALSE(mem.Run({Read(0x1000), unknown, Mask(1)}));
  EXPECT_FALSE(mem.Run({Read(0x1000), Mask(1), unknown}));
}

TEST(WdcTransferList, CountOutOfRangeRunsNothing) {
  ScriptedReads mem;
  mem.word = 1;
  std::vector<WdcTransferCmd> longest(wdc::kMaxTransferCmds, Mask(1));
  longest[0] = Read(0x1000);
  EXPECT_TRUE(mem.Run(longest));
  longest.push_back(Mask(1));
  mem.addresses.clear();
  EXPECT_FALSE(mem.Run(longest));
  EXPECT_FALSE(mem.Run({}));
  EXPECT_FALSE(wdc::RunTransferList(nullptr, 2, &ScriptedReads::Read, &mem));
  EXPECT_TRUE(mem.addresses.empty());
}

wdc::KernelWindows TwoWindows() {
  wdc::KernelWindows windows{};
  windows.base[0] = 0xE0000000;
  windows.bytes[0] = 0x1000;
  windows.base[3] = 0xFFFFF000;  // ends exactly at the top of the 32-bit range
  windows.bytes[3] = 0x1000;
  return windows;
}

TEST(WdcTransferList, TranslatesOnlyAlignedWordsInsideAWindow) {
  const wdc::KernelWindows windows = TwoWindows();
  uint32_t space = 99, offset = 99;
  EXPECT_TRUE(wdc::TranslateKernelAddr(windows, 0xE0000218, &space, &offset));
  EXPECT_EQ(space, 0u);
  EXPECT_EQ(offset, 0x218u);
  EXPECT_TRUE(wdc::TranslateKernelAddr(windows, 0xE0000FFC, &space, &offset));
  EXPECT_TRUE(wdc::TranslateKernelAddr(windows, 0xFFFFFFFC, &space, &offset));
  EXPECT_EQ(space, 3u);
  EXPECT_EQ(offset, 0xFFCu);
  for (uint32_t bad : {0xE0001000u, 0xDFFFFFFCu, 0xE0000002u, 0xE0000FFEu, 0u, 0xF0000000u,
                       0xFFFFEFFCu})
    EXPECT_FALSE(wdc::TranslateKernelAddr(windows, bad, &space, &offset)) << std::hex << bad;
}

TEST(WdcTransferList, RegistrationCheckRefusesWhatCannotRun) {
  const wdc::KernelWindows windows = TwoWindows();
  std::vector<WdcTransferCmd> good = {Read(0xE0000218), Mask(1)};
  EXPECT_EQ(wdc::CheckTransferList(good.data(), 2, windows), WDC_STATUS_SUCCESS);
  const WdcTransferCmd outside = Read(0xE0001000), misaligned = Read(0xE0000219),
                       no_space = Read(0xE0010000);
  WdcTransferCmd unknown = Mask(1);
  unknown.cmdTrans = 0;
  for (const WdcTransferCmd& bad : {outside, misaligned, no_space, unknown}) {
    std::vector<WdcTransferCmd> list = {Read(0xE0000000), bad, Mask(1)};
    EXPECT_EQ(wdc::CheckTransferList(list.data(), 3, windows), WDC_STATUS_BAD_TRANSFER_LIST);
  }
  EXPECT_EQ(wdc::CheckTransferList(nullptr, 2, windows), WDC_STATUS_BAD_TRANSFER_LIST);
  EXPECT_EQ(wdc::CheckTransferList(good.data(), 0, windows), WDC_STATUS_BAD_TRANSFER_LIST);
  std::vector<WdcTransferCmd> too_long(wdc::kMaxTransferCmds + 1, Mask(1));
  EXPECT_EQ(wdc::CheckTransferList(too_long.data(), wdc::kMaxTransferCmds, windows),
            WDC_STATUS_SUCCESS);
  EXPECT_EQ(wdc::CheckTransferList(too_long.data(), wdc::kMaxTransferCmds + 1, windows),
            WDC_STATUS_BAD_TRANSFER_LIST);
}

// ---- Through the library -----------------------------------------------------------------------

// What the handler saw; shared with the library's thread.
struct HandlerLog {
  std::atomic<int> calls{0};
  std::atomic<bool> on_caller_thread{false};
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  int sleep_ms = 0;
  // Calls back into the library from the handler when set.
  WdcDeviceHandle handle = nullptr;
  std::atomic<WdcStatus> disable_status{0};
  std::atomic<WdcStatus> device_close_status{0};
  std::atomic<WdcStatus> driver_close_status{0};
  std::atomic<int> is_enabled{-1};
};

void LogCall(void* data) {
  HandlerLog* log = static_cast<HandlerLog*>(data);
  log->entered = true;
  if (std::this_thread::get_id() == log->caller) log->on_caller_thread = true;
  if (log->sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(log->sleep_ms));
  if (log->handle) {
    log->is_enabled = WDC_IntIsEnabled(log->handle);
    log->disable_status = WDC_IntDisable(log->handle);
    log->device_close_status = WDC_PciDeviceClose(log->handle);
    log->driver_close_status = WDC_DriverClose();
  }
  log->calls.fetch_add(1);
  log->finished = true;
}

class WdcInterrupts : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    handle_ = OpenDevice();
    ASSERT_NE(handle_, nullptr);
    board_ = wdc_fake::BoardAt(0);
    list_[0] = Read(handle_->addrSpace[AD_BAR1].dwKernelAddr + INT_CTRL);
    list_[1] = Mask(INT_CH0_DONE);
  }
  void TearDown() override {
    EXPECT_EQ(WDC_PciDeviceClose(handle_), WDC_STATUS_SUCCESS);
    LibraryTest::TearDown();
  }
  WdcStatus Enable(HandlerLog* log, uint32_t count = 2) {
    return WDC_IntEnable(handle_, list_, count, 0, LogCall, log, handle_->hKernelPlugIn);
  }
  // Puts `status` in INT_CTRL, raises the line and waits until the thread is done with it.
  void Interrupt(uint32_t status) {
    ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR1, INT_CTRL, status), WDC_STATUS_SUCCESS);
    board_->Raise();
    ASSERT_TRUE(board_->WaitServed(++raised_));
  }
  WdcDeviceHandle handle_ = nullptr;
  wdc_fake::FakeBoard* board_ = nullptr;
  WdcTransferCmd list_[2];
  uint64_t raised_ = 0;
};

TEST_F(WdcInterrupts, EnableChecksHandlerAndList) {
  HandlerLog log;
  EXPECT_EQ(WDC_IntEnable(handle_, list_, 2, 0, nullptr, &log, 0), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_IntEnable(handle_, nullptr, 2, 0, LogCall, &log, 0),
            WDC_STATUS_BAD_TRANSFER_LIST);
  EXPECT_EQ(Enable(&log, 0), WDC_STATUS_BAD_TRANSFER_LIST);
  WdcTransferCmd many[wdc::kMaxTransferCmds + 1];
  for (WdcTransferCmd& cmd : many) cmd = Mask(1);
  EXPECT_EQ(WDC_IntEnable(handle_, many, wdc::kMaxTransferCmds + 1, 0, LogCall, &log, 0),
            WDC_STATUS_BAD_TRANSFER_LIST);

  const uint32_t bar0 = handle_->addrSpace[AD_BAR0].dwKernelAddr;
  const uint32_t bar1 = handle_->addrSpace[AD_BAR1].dwKernelAddr;
  const uint32_t bad_addresses[] = {bar1 + BAR1_BYTES, bar1 + INT_CTRL + 2, bar1 - 4,
                                    bar0 + 0x20000 /* absent BAR2 */, 0, 0x1000};
  for (uint32_t addr : bad_addresses) {
    list_[0] = Read(addr);
    EXPECT_EQ(Enable(&log), WDC_STATUS_BAD_TRANSFER_LIST) << std::hex << addr;
  }
  list_[0] = Read(bar1 + INT_CTRL);
  list_[1].cmdTrans = 1;
  EXPECT_EQ(Enable(&log), WDC_STATUS_BAD_TRANSFER_LIST);
  EXPECT_EQ(board_->attaches.load(), 0);
  EXPECT_EQ(WDC_IntIsEnabled(handle_), 0);

  // Any readable word of the device's own windows will do, BAR0's included.
  list_[0] = Read(bar0 + BAR0_BYTES - 4);
  list_[1] = Mask(1);
  EXPECT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, EnableDisableStateMachine) {
  HandlerLog log;
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_INT_NOT_ENABLED);
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  EXPECT_NE(WDC_IntIsEnabled(handle_), 0);
  EXPECT_EQ(Enable(&log), WDC_STATUS_INT_ALREADY_ENABLED);
  EXPECT_EQ(board_->attaches.load(), 1);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
  EXPECT_EQ(board_->detaches.load(), 1);
  EXPECT_EQ(WDC_IntIsEnabled(handle_), 0);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_INT_NOT_ENABLED);
  // And again, as a second test of a run would.
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  Interrupt(INT_CH0_DONE);
  EXPECT_EQ(log.calls.load(), 1);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, AFailedAttachIsTheEnablesFailure) {
  HandlerLog log;
  board_->attach_status = WDC_STATUS_SYSTEM_ERROR;
  EXPECT_EQ(Enable(&log), WDC_STATUS_SYSTEM_ERROR);
  EXPECT_EQ(WDC_IntIsEnabled(handle_), 0);
  board_->attach_status = WDC_STATUS_SUCCESS;
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, TheLineIsUnmaskedAfterEachListRun) {
  HandlerLog log;
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  Interrupt(INT_CH0_DONE);
  Interrupt(0);  // no handler call, and the line must still come back
  EXPECT_EQ(log.calls.load(), 1);
  EXPECT_EQ(board_->unmasks.load(), 2);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, HandlerRunsOnTheLibraryThreadOncePerMatchingInterrupt) {
  HandlerLog log;
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  // The list was copied: what the caller does with its own copy afterwards changes nothing.
  list_[0] = Read(0);
  list_[1] = Mask(0);
  for (int i = 0; i < 3; ++i) Interrupt(INT_CH0_DONE);
  EXPECT_EQ(log.calls.load(), 3);
  Interrupt(INT_BACKLOOP_DONE);  // status bits, but none of the mask's
  Interrupt(0);
  EXPECT_EQ(log.calls.load(), 3);
  Interrupt(INT_CH0_DONE | INT_BACKLOOP_DONE);
  EXPECT_EQ(log.calls.load(), 4);
  EXPECT_FALSE(log.on_caller_thread.load());
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, DisableReturnsOnlyOnceTheHandlerIsDone) {
  HandlerLog log;
  log.sleep_ms = 100;
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR1, INT_CTRL, INT_CH0_DONE), 0u);
  board_->Raise();
  while (!log.entered.load()) std::this_thread::yield();
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
  EXPECT_TRUE(log.finished.load()) << "the disable returned while the handler still ran";
  // Interrupts after the disable reach no handler.
  board_->Raise();
  EXPECT_EQ(log.calls.load(), 1);
}

TEST_F(WdcInterrupts, HandlerCannotTearItselfDown) {
  HandlerLog log;
  log.handle = handle_;
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  Interrupt(INT_CH0_DONE);
  ASSERT_EQ(log.calls.load(), 1);
  EXPECT_EQ(log.is_enabled.load(), 1);
  EXPECT_EQ(log.disable_status.load(), WDC_STATUS_WRONG_THREAD);
  EXPECT_EQ(log.device_close_status.load(), WDC_STATUS_WRONG_THREAD);
  EXPECT_EQ(log.driver_close_status.load(), WDC_STATUS_WRONG_THREAD);
  EXPECT_NE(WDC_IntIsEnabled(handle_), 0);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

TEST_F(WdcInterrupts, ListReadsTheWordAfreshAtEachInterrupt) {
  HandlerLog log;
  list_[0] = Read(handle_->addrSpace[AD_BAR0].dwKernelAddr);
  list_[1] = Mask(0xFFFFFFFF);
  ASSERT_EQ(Enable(&log), WDC_STATUS_SUCCESS);
  ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR0, 0, 0xFFFFFFFF), 0u);
  board_->Raise();
  ASSERT_TRUE(board_->WaitServed(1));
  EXPECT_EQ(log.calls.load(), 1);
  ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR0, 0, 0), 0u);
  board_->Raise();
  ASSERT_TRUE(board_->WaitServed(2));
  EXPECT_EQ(log.calls.load(), 1);
  EXPECT_EQ(WDC_IntDisable(handle_), WDC_STATUS_SUCCESS);
}

}  // namespace
