// The vfio-user wire format (docs: the vfio-user protocol document): the message header, the
// commands, their flags, and little-endian field access. Every multi-byte field is in the host's
// order, which the protocol fixes as little-endian for the hosts we serve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vfu {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "vfio-user fields are little-endian");

constexpr uint32_t kHeaderBytes = 16;

// What we accept, and advertise in VERSION. The data limit bounds a REGION_WRITE and the data of
// a client's DMA_READ reply; a message may carry one 16-byte field block beside the header.
constexpr uint32_t kMaxDataXfer = 1u << 20;
constexpr uint32_t kMaxMessageBytes = kHeaderBytes + 16 + kMaxDataXfer;
constexpr uint32_t kMaxMsgFds = 8;
constexpr uint32_t kMaxDmaMaps = 65535;

enum Command : uint16_t {
  kVersion = 1,
  kDmaMap = 2,
  kDmaUnmap = 3,
  kDeviceGetInfo = 4,
  kDeviceGetRegionInfo = 5,
  kDeviceGetRegionIoFds = 6,
  kDeviceGetIrqInfo = 7,
  kDeviceSetIrqs = 8,
  kRegionRead = 9,
  kRegionWrite = 10,
  kDmaRead = 11,
  kDmaWrite = 12,
  kDeviceReset = 13,
};

constexpr uint32_t kFlagTypeMask = 0xf;
constexpr uint32_t kTypeCommand = 0;
constexpr uint32_t kTypeReply = 1;
constexpr uint32_t kFlagNoReply = 0x10;
constexpr uint32_t kFlagError = 0x20;

// Region indices (vfio-pci's), and the interrupt indices.
constexpr uint32_t kRomRegion = 6;
constexpr uint32_t kConfigRegion = 7;
constexpr uint32_t kVgaRegion = 8;
constexpr uint32_t kNumRegions = 9;
constexpr uint32_t kIntxIrq = 0;
constexpr uint32_t kMsiIrq = 1;
constexpr uint32_t kNumIrqs = 5;

struct Header {
  uint16_t id = 0;
  uint16_t cmd = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
  uint32_t error = 0;
};

inline void EncodeHeader(const Header& h, uint8_t* out) {
  std::memcpy(out, &h.id, 2);
  std::memcpy(out + 2, &h.cmd, 2);
  std::memcpy(out + 4, &h.size, 4);
  std::memcpy(out + 8, &h.flags, 4);
  std::memcpy(out + 12, &h.error, 4);
}

inline Header DecodeHeader(const uint8_t* in) {
  Header h;
  std::memcpy(&h.id, in, 2);
  std::memcpy(&h.cmd, in + 2, 2);
  std::memcpy(&h.size, in + 4, 4);
  std::memcpy(&h.flags, in + 8, 4);
  std::memcpy(&h.error, in + 12, 4);
  return h;
}

template <class T>
T Get(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void Put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

inline const char* CommandName(uint16_t cmd) {
  switch (cmd) {
    case kVersion: return "VERSION";
    case kDmaMap: return "DMA_MAP";
    case kDmaUnmap: return "DMA_UNMAP";
    case kDeviceGetInfo: return "DEVICE_GET_INFO";
    case kDeviceGetRegionInfo: return "DEVICE_GET_REGION_INFO";
    case kDeviceGetRegionIoFds: return "DEVICE_GET_REGION_IO_FDS";
    case kDeviceGetIrqInfo: return "DEVICE_GET_IRQ_INFO";
    case kDeviceSetIrqs: return "DEVICE_SET_IRQS";
    case kRegionRead: return "REGION_READ";
    case kRegionWrite: return "REGION_WRITE";
    case kDmaRead: return "DMA_READ";
    case kDmaWrite: return "DMA_WRITE";
    case kDeviceReset: return "DEVICE_RESET";
    case 15: return "REGION_WRITE_MULTI";
    case 16: return "DEVICE_FEATURE";
    case 17: return "MIG_DATA_READ";
    case 18: return "MIG_DATA_WRITE";
    default: return "unknown command";
  }
}

}  // namespace vfu
