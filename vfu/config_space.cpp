#include "vfu/config_space.h"

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

// The Express capability, version 2, of an endpoint: its registers' offsets within it. Slot
// and Root registers are a port's, and read as zero here, as do Device Capabilities 2 and its
// control (no optional feature), Link Status 2 and Device Status 2.
constexpr uint8_t kExpressCapId = 0x10;
constexpr uint32_t kExpFlags = 0x02, kDevCap = 0x04, kDevCtl = 0x08, kDevSta = 0x0a, kLnkCap = 0x0c,
                   kLnkCtl = 0x10, kLnkSta = 0x12, kLnkCap2 = 0x2c, kLnkCtl2 = 0x30;
constexpr uint16_t kExpVersion2Endpoint = 0x0002;  // version 2, device/port type 0
constexpr uint32_t kDevCapRoleBasedErrors = 1u << 15, kDevCapFlr = 1u << 28;
// Device Control: the error reporting enables, relaxed ordering, Max_Payload_Size, no snoop,
// Max_Read_Request_Size; at power-on relaxed ordering and no snoop on, 512-byte read requests.
constexpr uint16_t kDevCtlWritable = 0x78ff, kDevCtlPowerOn = 0x2810;
constexpr uint16_t kDevCtlPayload = 0x00e0, kDevCtlFlr = 0x8000;
constexpr uint16_t kDevStaCorrectable = 1u << 0, kDevStaNonFatal = 1u << 1, kDevStaFatal = 1u << 2,
                   kDevStaUnsupported = 1u << 3;
constexpr uint32_t kLnkCapAspmOptionality = 1u << 22;
// Link Control: ASPM Control, Common Clock Configuration, Extended Synch.
constexpr uint16_t kLnkCtlWritable = 0x00c3;
constexpr uint16_t kLnkCtl2TargetSpeed = 0x000f;

// AER, version 2, of an endpoint (no root registers, no TLP prefix log): its registers' offsets.
constexpr uint32_t kAerHeader = 0x00020001;  // ID 1, version 2, the last capability
constexpr uint32_t kUncStatus = 0x04, kUncMask = 0x08, kUncSeverity = 0x0c, kCorStatus = 0x10,
                   kCorMask = 0x14, kAerControl = 0x18, kHeaderLog = 0x1c;
// What an endpoint's link and transactions can report: Data Link Protocol, Poisoned TLP, Flow
// Control Protocol, Completion Timeout, Completer Abort, Unexpected Completion, Receiver
// Overflow, Malformed TLP, ECRC, Unsupported Request; and Receiver Error, Bad TLP, Bad DLLP,
// REPLAY_NUM Rollover, Replay Timer Timeout, Advisory Non-Fatal.
constexpr uint32_t kUncImplemented = 0x001ff010, kCorImplemented = 0x000031c1;
constexpr uint32_t kUncFatalAtPowerOn = 0x00062010;  // DLP, FCP, Receiver Overflow, Malformed
constexpr uint32_t kCorMaskedAtPowerOn = 1u << 13;   // Advisory Non-Fatal
constexpr uint32_t kUnsupportedRequestBit = 20;
// Capabilities and Control: the First Error Pointer, ECRC generation and checking (capable,
// and their enables).
constexpr uint32_t kFirstErrorPointer = 0x1f, kEcrcCapable = 0x0a0, kEcrcEnables = 0x140;

void Set16(uint8_t* a, uint32_t at, uint16_t v) { std::memcpy(a + at, &v, 2); }
void Set32(uint8_t* a, uint32_t at, uint32_t v) { std::memcpy(a + at, &v, 4); }
uint16_t Get16(const uint8_t* a, uint32_t at) {
  uint16_t v;
  std::memcpy(&v, a + at, 2);
  return v;
}
uint32_t Get32(const uint8_t* a, uint32_t at) {
  uint32_t v;
  std::memcpy(&v, a + at, 4);
  return v;
}

// Link Capabilities' and Link Status's speed field names the bit of the supported speeds
// vector (Link Capabilities 2, from bit 1) that is the link's speed.
uint32_t LinkField(const PcieLink& l) { return (l.gen & 0xf) | (l.width & 0x3f) << 4; }

uint32_t PayloadCode(uint32_t bytes) {
  uint32_t code = 0;
  while (code < 5 && (128u << (code + 1)) <= bytes) ++code;
  return code;
}

}  // namespace

bool ValidBarSize(uint64_t bytes) {
  return bytes >= 16 && bytes <= (uint64_t{1} << 31) && (bytes & (bytes - 1)) == 0;
}

ConfigSpace::ConfigSpace(const PciFunction& fn) {
  uint8_t* b = initial_;
  Set16(b, 0x00, fn.vendor_id);
  Set16(b, 0x02, fn.device_id);
  b[0x08] = fn.revision;
  b[0x09] = static_cast<uint8_t>(fn.class_code);
  b[0x0a] = static_cast<uint8_t>(fn.class_code >> 8);
  b[0x0b] = static_cast<uint8_t>(fn.class_code >> 16);
  b[0x0e] = 0;  // header type 0, single function
  Set16(b, 0x2c, fn.subsystem_vendor_id);
  Set16(b, 0x2e, fn.subsystem_id);
  Set16(wmask_, kCommand, kCmdIo | kCmdMem | kCmdBusMaster | kCmdIntxDisable);
  for (uint32_t i = 0; i < kBarCount; ++i) {
    // Type bits 0: 32-bit memory, not prefetchable. The size bits read back as zero after the
    // sizing write of all ones, which is how the client learns the size.
    if (fn.bar_bytes[i] != 0)
      Set32(wmask_, kBar0 + 4 * i, static_cast<uint32_t>(~(fn.bar_bytes[i] - 1)) & ~0xfu);
  }
  wmask_[kIntLine] = 0xff;
  if (fn.intx) b[kIntPin] = 1;  // INTA
  uint8_t* link_to_next = &b[kCapPtr];
  if (fn.msi) {
    *link_to_next = kMsiCap;
    b[kMsiCap] = kMsiCapId;
    link_to_next = &b[kMsiCap + 1];
    Set16(b, kMsiCap + 2, kMsi64Bit);
    Set16(wmask_, kMsiCap + 2, kMsiEnable);
    Set32(wmask_, kMsiCap + 4, 0xfffffffcu);
    Set32(wmask_, kMsiCap + 8, 0xffffffffu);
    Set16(wmask_, kMsiCap + 12, 0xffff);
  }
  if (fn.express) {
    const uint32_t e = fn.msi ? kExpressCap : kMsiCap;
    express_ = e;
    size_ = kExpressBytes;
    flr_ = fn.flr;
    *link_to_next = static_cast<uint8_t>(e);
    b[e] = kExpressCapId;
    link_to_next = &b[e + 1];
    Set16(b, e + kExpFlags, kExpVersion2Endpoint);
    Set32(b, e + kDevCap,
          PayloadCode(fn.max_payload) | kDevCapRoleBasedErrors | (fn.flr ? kDevCapFlr : 0));
    Set16(b, e + kDevCtl, kDevCtlPowerOn);
    Set16(wmask_, e + kDevCtl, kDevCtlWritable | (fn.flr ? kDevCtlFlr : 0));
    Set16(keep_, e + kDevCtl, kDevCtlPayload);
    Set16(w1c_, e + kDevSta,
          kDevStaCorrectable | kDevStaNonFatal | kDevStaFatal | kDevStaUnsupported);
    Set32(b, e + kLnkCap, LinkField(fn.max_link) | kLnkCapAspmOptionality);
    Set16(wmask_, e + kLnkCtl, kLnkCtlWritable);
    Set16(keep_, e + kLnkCtl, kLnkCtlWritable);
    Set16(b, e + kLnkSta, static_cast<uint16_t>(LinkField(fn.link)));
    Set32(b, e + kLnkCap2, ((1u << (fn.max_link.gen & 7)) - 1) << 1);
    // Target Link Speed: sticky, the highest speed at power-on.
    Set16(b, e + kLnkCtl2, static_cast<uint16_t>(fn.max_link.gen & kLnkCtl2TargetSpeed));
    Set16(wmask_, e + kLnkCtl2, kLnkCtl2TargetSpeed);
    Set16(keep_, e + kLnkCtl2, kLnkCtl2TargetSpeed);
  }
  if (fn.express && fn.aer) {
    aer_ = true;
    Set32(b, kAerCap, kAerHeader);
    Set32(w1c_, kAerCap + kUncStatus, kUncImplemented);
    Set32(wmask_, kAerCap + kUncMask, kUncImplemented);
    Set32(b, kAerCap + kUncSeverity, kUncFatalAtPowerOn);
    Set32(wmask_, kAerCap + kUncSeverity, kUncImplemented);
    Set32(w1c_, kAerCap + kCorStatus, kCorImplemented);
    Set32(b, kAerCap + kCorMask, kCorMaskedAtPowerOn);
    Set32(wmask_, kAerCap + kCorMask, kCorImplemented);
    Set32(b, kAerCap + kAerControl, kEcrcCapable);
    Set32(wmask_, kAerCap + kAerControl, kEcrcEnables);
    // Every AER register is sticky, the read-only parts as well (the First Error Pointer and
    // the Header Log keep what the error left in them).
    std::memset(keep_ + kAerCap + kUncStatus, 0xff, kHeaderLog + 16 - kUncStatus);
  }
  if (b[kCapPtr] != 0) b[kStatus] |= kStatusCapList;
  std::memcpy(bytes_, initial_, sizeof bytes_);
}

void ConfigSpace::Read(uint32_t offset, uint32_t len, uint8_t* dst, bool intx_asserted) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::memcpy(dst, bytes_ + offset, len);
  if (intx_asserted && offset <= kStatus && kStatus < offset + len)
    dst[kStatus - offset] |= kStatusIntx;
}

bool ConfigSpace::Write(uint32_t offset, uint32_t len, const uint8_t* src) {
  std::lock_guard<std::mutex> lock(mu_);
  for (uint32_t i = 0; i < len; ++i) {
    const uint32_t at = offset + i;
    const uint8_t written =
        static_cast<uint8_t>((bytes_[at] & ~wmask_[at]) | (src[i] & wmask_[at]));
    bytes_[at] = static_cast<uint8_t>(written & ~(src[i] & w1c_[at]));
  }
  // Initiate Function-Level Reset always reads as zero.
  if (!flr_ || (Get16(bytes_, express_ + kDevCtl) & kDevCtlFlr) == 0) return false;
  Set16(bytes_, express_ + kDevCtl, Get16(bytes_, express_ + kDevCtl) & ~kDevCtlFlr);
  return true;
}

bool ConfigSpace::BusMaster() const {
  std::lock_guard<std::mutex> lock(mu_);
  return (bytes_[kCommand] & kCmdBusMaster) != 0;
}

bool ConfigSpace::IntxDisabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return (bytes_[kCommand + 1] & (kCmdIntxDisable >> 8)) != 0;
}

void ConfigSpace::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  for (uint32_t i = 0; i < size_; ++i)
    bytes_[i] = static_cast<uint8_t>((bytes_[i] & keep_[i]) | (initial_[i] & ~keep_[i]));
}

void ConfigSpace::Correctable(uint32_t bit) {
  if (!aer_ || bit >= 32 || (kCorImplemented >> bit & 1) == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  Set32(bytes_, kAerCap + kCorStatus, Get32(bytes_, kAerCap + kCorStatus) | 1u << bit);
  Set16(bytes_, express_ + kDevSta, Get16(bytes_, express_ + kDevSta) | kDevStaCorrectable);
}

void ConfigSpace::Uncorrectable(uint32_t bit, const uint32_t* header) {
  if (!aer_ || bit >= 32 || (kUncImplemented >> bit & 1) == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t mask = 1u << bit;
  const uint32_t pending = Get32(bytes_, kAerCap + kUncStatus);
  Set32(bytes_, kAerCap + kUncStatus, pending | mask);
  uint16_t detected =
      (Get32(bytes_, kAerCap + kUncSeverity) & mask) != 0 ? kDevStaFatal : kDevStaNonFatal;
  if (bit == kUnsupportedRequestBit) detected |= kDevStaUnsupported;
  Set16(bytes_, express_ + kDevSta, Get16(bytes_, express_ + kDevSta) | detected);
  if ((Get32(bytes_, kAerCap + kUncMask) & mask) != 0) return;
  const uint32_t control = Get32(bytes_, kAerCap + kAerControl);
  if ((pending >> (control & kFirstErrorPointer) & 1) != 0) return;
  Set32(bytes_, kAerCap + kAerControl, (control & ~kFirstErrorPointer) | bit);
  for (uint32_t i = 0; i < 4; ++i)
    Set32(bytes_, kAerCap + kHeaderLog + 4 * i, header != nullptr ? header[i] : 0);
}

}  // namespace vfu
