#include "config_space.h"

#include <cstring>

namespace vfu {
namespace {

constexpr uint32_t kCommand = 0x04;
constexpr uint32_t kStatus = 0x06;
constexpr uint32_t kBar0 = 0x10;
constexpr uint32_t kCapPtr = 0x34;
constexpr uint32_t kIntLine = 0x3c;
constexpr uint32_t kIntPin = 0x3d;

constexpr uint16_t kCmdIo = 1u << 0;
constexpr uint16_t kCmdMem = 1u << 1;
constexpr uint16_t kCmdBusMaster = 1u << 2;
constexpr uint16_t kCmdIntxDisable = 1u << 10;
constexpr uint8_t kStatusIntx = 1u << 3;
constexpr uint8_t kStatusCapList = 1u << 4;

// MSI capability, 64-bit address, one vector, no per-vector masking: control at +2 (enable and
// the multiple-message enable field, held at one vector), address at +4 and +8, data at +12.
constexpr uint8_t kMsiCapId = 0x05;
constexpr uint16_t kMsi64Bit = 1u << 7;
constexpr uint16_t kMsiEnable = 1u << 0;

void Set16(uint8_t* a, uint32_t at, uint16_t v) { std::memcpy(a + at, &v, 2); }
void Set32(uint8_t* a, uint32_t at, uint32_t v) { std::memcpy(a + at, &v, 4); }

}  // namespace

bool ValidBarSize(uint64_t bytes) {
  return bytes >= 16 && bytes <= (uint64_t{1} << 31) && (bytes & (bytes - 1)) == 0;
}

ConfigSpace::ConfigSpace(const PciFunction& fn) {
  Set16(bytes_, 0x00, fn.vendor_id);
  Set16(bytes_, 0x02, fn.device_id);
  bytes_[0x08] = fn.revision;
  bytes_[0x09] = static_cast<uint8_t>(fn.class_code);
  bytes_[0x0a] = static_cast<uint8_t>(fn.class_code >> 8);
  bytes_[0x0b] = static_cast<uint8_t>(fn.class_code >> 16);
  bytes_[0x0e] = 0;  // header type 0, single function
  Set16(bytes_, 0x2c, fn.subsystem_vendor_id);
  Set16(bytes_, 0x2e, fn.subsystem_id);
  Set16(wmask_, kCommand, kCmdIo | kCmdMem | kCmdBusMaster | kCmdIntxDisable);
  for (uint32_t i = 0; i < kBarCount; ++i) {
    // Type bits 0: 32-bit memory, not prefetchable. The size bits read back as zero after the
    // sizing write of all ones, which is how the client learns the size.
    if (fn.bar_bytes[i] != 0)
      Set32(wmask_, kBar0 + 4 * i, static_cast<uint32_t>(~(fn.bar_bytes[i] - 1)) & ~0xfu);
  }
  wmask_[kIntLine] = 0xff;
  if (fn.intx) bytes_[kIntPin] = 1;  // INTA
  if (fn.msi) {
    bytes_[kStatus] |= kStatusCapList;
    bytes_[kCapPtr] = kMsiCap;
    bytes_[kMsiCap] = kMsiCapId;
    bytes_[kMsiCap + 1] = 0;  // the end of the list
    Set16(bytes_, kMsiCap + 2, kMsi64Bit);
    Set16(wmask_, kMsiCap + 2, kMsiEnable);
    Set32(wmask_, kMsiCap + 4, 0xfffffffcu);
    Set32(wmask_, kMsiCap + 8, 0xffffffffu);
    Set16(wmask_, kMsiCap + 12, 0xffff);
  }
}

void ConfigSpace::Read(uint32_t offset, uint32_t len, uint8_t* dst, bool intx_asserted) const {
  std::memcpy(dst, bytes_ + offset, len);
  if (intx_asserted && offset <= kStatus && kStatus < offset + len)
    dst[kStatus - offset] |= kStatusIntx;
}

void ConfigSpace::Write(uint32_t offset, uint32_t len, const uint8_t* src) {
  for (uint32_t i = 0; i < len; ++i) {
    const uint32_t at = offset + i;
    bytes_[at] = static_cast<uint8_t>((bytes_[at] & ~wmask_[at]) | (src[i] & wmask_[at]));
  }
}

bool ConfigSpace::BusMaster() const { return (bytes_[kCommand] & kCmdBusMaster) != 0; }

bool ConfigSpace::IntxDisabled() const {
  return (bytes_[kCommand + 1] & (kCmdIntxDisable >> 8)) != 0;
}

void ConfigSpace::Reset() {
  Set16(bytes_, kCommand, 0);
  for (uint32_t i = 0; i < kBarCount; ++i) {
    const uint32_t at = kBar0 + 4 * i;
    for (uint32_t b = 0; b < 4; ++b) bytes_[at + b] &= static_cast<uint8_t>(~wmask_[at + b]);
  }
  if (bytes_[kCapPtr] == kMsiCap) {
    for (uint32_t at = kMsiCap + 2; at < kMsiCap + 14; ++at)
      bytes_[at] &= static_cast<uint8_t>(~wmask_[at]);
  }
}

}  // namespace vfu
