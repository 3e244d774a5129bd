// The DMA controller's register block (BAR1). One table (registers.cpp) gives each register its
// reset value, the bits a host write stores, the bits a read clears and the hooks that act on
// an access, so what a register does reads off one line. Guarded by the board's lock; the
// hooks run with it held.
#pragma once

#include <cstdint>

namespace sim {

// What the board does when the host touches a register with a hook.
class RegisterHooks {
 public:
  virtual void OnStart(uint32_t written) = 0;
  virtual void OnRunCtrl(uint32_t written) = 0;
  virtual void OnIntCtrl(uint32_t written) = 0;
  virtual void OnPerfClear(uint32_t written) = 0;
  virtual void OnReset(uint32_t written) = 0;
  virtual uint32_t ReadRunCtrl() = 0;
  virtual uint32_t ReadPerf0() = 0;
  virtual uint32_t ReadPerf1() = 0;

 protected:
  ~RegisterHooks() = default;
};

// Register slots, in the order of the table.
enum Reg : uint8_t {
  kChAddr0,
  kChCtrl0,
  kChAddr1,
  kChCtrl1,
  kChAddr2,
  kChCtrl2,
  kChAddr3,
  kChCtrl3,
  kChAddr4,
  kChCtrl4,
  kChAddr5,
  kChCtrl5,
  kWordCount,
  kStart,
  kRunCtrl,
  kIntCtrl,
  kPerf0,
  kPerf1,
  kReadCfg,
  kResetCtrl,
  kRegCount
};

class RegisterBlock {
 public:
  explicit RegisterBlock(RegisterHooks* hooks);
  RegisterBlock(const RegisterBlock&) = delete;
  RegisterBlock& operator=(const RegisterBlock&) = delete;

  // A host access of BAR1 at `offset`, aligned to `width` (1, 2, 4 or 8) and inside the block.
  // Offsets without a register read as 0 and ignore writes.
  void Access(uint32_t offset, uint32_t width, bool write, uint64_t* value);

  void Reset();  // every register to its reset value, no hooks

  // The board's own view: the stored value, no hooks, no clearing.
  uint32_t Get(Reg r) const { return regs_[r]; }
  void Set(Reg r, uint32_t value) { regs_[r] = value; }
  uint32_t ChannelAddr(uint32_t ch) const { return regs_[kChAddr0 + 2 * ch]; }
  uint32_t ChannelCtrl(uint32_t ch) const { return regs_[kChCtrl0 + 2 * ch]; }

 private:
  uint32_t Read(uint32_t offset, uint32_t byte_mask);
  void Write(uint32_t offset, uint32_t value, uint32_t byte_mask);

  RegisterHooks* const hooks_;
  uint32_t regs_[kRegCount];
  uint32_t shadow_[kRegCount];  // last value the host wrote, for merging narrow writes
};

}  // namespace sim
