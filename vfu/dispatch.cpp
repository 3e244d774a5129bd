#include "dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "wire.h"

namespace vfu {
namespace {

constexpr uint32_t kRegionFlagRead = 1, kRegionFlagWrite = 2, kRegionFlagMmap = 4;
constexpr uint32_t kIrqInfoEventfd = 1, kIrqInfoMaskable = 2, kIrqInfoAutomasked = 4,
                   kIrqInfoNoresize = 8;
constexpr uint32_t kSetDataNone = 1, kSetDataBool = 2, kSetDataEventfd = 4;
constexpr uint32_t kSetActionMask = 8, kSetActionUnmask = 16, kSetActionTrigger = 32;
constexpr uint32_t kUnmapAll = 2;
constexpr uint32_t kDeviceFlagsReset = 1, kDeviceFlagsPci = 2;

std::string Num(uint64_t v) { return std::to_string(v); }

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// DMA_MAP takes its memory file; DEVICE_SET_IRQS an eventfd an interrupt; nothing else any.
size_t FdsTaken(uint16_t cmd) {
  return cmd == kDmaMap ? 1 : cmd == kDeviceSetIrqs ? kMaxMsgFds : 0;
}

bool OneBit(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

int Short(const Message& m, size_t need, std::string* why) {
  *why = "payload of " + Num(m.payload.size()) + " bytes, " + Num(need) + " needed";
  return EINVAL;
}

// A request whose argsz is the size of the request itself (DMA_MAP, SET_IRQS): at least its
// fixed fields, and exactly the payload that came. SET_IRQS's eventfds travel beside the
// message, not in its data, so with DATA_EVENTFD its argsz is its 20 bytes alone.
int RequestArgsz(const Message& m, uint32_t fixed, std::string* why) {
  if (m.payload.size() < fixed) return Short(m, fixed, why);
  const uint32_t argsz = Get<uint32_t>(m.payload.data());
  if (argsz < fixed || argsz != m.payload.size()) {
    *why = "argsz " + Num(argsz) + " for a request of " + Num(m.payload.size()) + " bytes (" +
           Num(fixed) + " at least)";
    return EINVAL;
  }
  return 0;
}

// An eventfd is what the client must give: a pipe or socket there could block our writes.
// Without /proc we cannot tell, and take it.
bool IsEventfd(int fd) {
  char path[32], target[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(path, target, sizeof target - 1);
  if (n < 0) return true;
  target[n] = 0;
  return std::strcmp(target, "anon_inode:[eventfd]") == 0;
}

}  // namespace

Session::Session(Device& device, const PciFunction& fn, ConfigSpace& config, DmaTable& dma,
                 Interrupts& irq, Channel& channel, Log& log)
    : device_(device),
      fn_(fn),
      config_(config),
      dma_(dma),
      irq_(irq),
      channel_(channel),
      log_(log) {}

void Session::Handle(Message& m) {
  const Header& h = m.hdr;
  if (log_.verbose())
    log_.Line(std::string("got ") + CommandName(h.cmd) + " (id " + Num(h.id) + ", " + Num(h.size) +
              " bytes, " + Num(m.fds.size()) + " fds)");
  reply_.clear();
  reply_fd_ = -1;
  std::string why;
  int err = 0;
  if ((h.flags & kFlagTypeMask) != kTypeCommand) {
    err = EINVAL;
    why = "message type " + Num(h.flags & kFlagTypeMask) + " is neither command nor reply";
  } else if (m.fds_overflow || m.fds.size() > FdsTaken(h.cmd)) {
    // Every descriptor a command cannot take is refused with it, and closed below.
    err = EINVAL;
    why = Num(m.fds.size()) + (m.fds_overflow ? " and more" : "") + " fds, " +
          Num(FdsTaken(h.cmd)) + " at most";
  } else if (!versioned_ && h.cmd != kVersion) {
    err = EINVAL;
    why = "no VERSION yet";
  } else {
    try {
      err = Dispatch(m, &why);
    } catch (const std::exception& e) {
      // A table entry, a reply buffer or the interrupts' thread could not be had: this command
      // fails, the server goes on.
      err = ENOMEM;
      why = std::string("out of resources: ") + e.what();
    }
  }
  m.fds.clear();
  const bool answer = (h.flags & kFlagNoReply) == 0;
  if (err != 0) {
    log_.Line(std::string("refused ") + CommandName(h.cmd) + " (id " + Num(h.id) + "): " + why);
    if (answer) channel_.ReplyError(h, err);
    return;
  }
  if (answer) channel_.Reply(h, reply_.data(), reply_.size(), reply_fd_);
}

int Session::Dispatch(Message& m, std::string* why) {
  switch (m.hdr.cmd) {
    case kVersion: return Version(m, why);
    case kDmaMap: return DmaMap(m, why);
    case kDmaUnmap: return DmaUnmap(m, why);
    case kDeviceGetInfo: return GetInfo(m, why);
    case kDeviceGetRegionInfo: return GetRegionInfo(m, why);
    case kDeviceGetIrqInfo: return GetIrqInfo(m, why);
    case kDeviceSetIrqs: return SetIrqs(m, why);
    case kRegionRead: return RegionAccess(m, false, why);
    case kRegionWrite: return RegionAccess(m, true, why);
    case kDeviceReset: return Reset("DEVICE_RESET");
    default: *why = "command " + Num(m.hdr.cmd) + " is not served"; return ENOSYS;
  }
}

int Session::Version(const Message& m, std::string* why) {
  if (versioned_) {
    *why = "VERSION again";
    return EINVAL;
  }
  if (m.payload.size() < 4) return Short(m, 4, why);
  const uint16_t major = Get<uint16_t>(m.payload.data());
  if (major != 0) {
    *why = "protocol major " + Num(major) + ", only 0 is served";
    return ENOTSUP;
  }
  ClientCaps caps;
  if (m.payload.size() > 4) {
    const char* json = reinterpret_cast<const char*>(m.payload.data() + 4);
    const void* nul = std::memchr(json, 0, m.payload.size() - 4);
    if (nul == nullptr) {
      *why = "version data without its NUL";
      return EINVAL;
    }
    if (!ParseClientCaps(json, static_cast<size_t>(static_cast<const char*>(nul) - json), &caps,
                         why))
      return EINVAL;
  }
  if (caps.max_data_xfer_size == 0) {
    *why = "max_data_xfer_size 0";
    return EINVAL;
  }
  caps_ = caps;
  versioned_ = true;
  {
    auto lock = dma_.Lock();
    dma_.AttachLocked(&channel_, caps_.max_data_xfer_size);
  }
  const std::string ours = ServerCapsJson();
  reply_.resize(4 + ours.size());
  Put<uint16_t>(reply_.data(), 0);
  Put<uint16_t>(reply_.data() + 2, 0);  // minor 0: every client minor includes it
  std::memcpy(reply_.data() + 4, ours.data(), ours.size());
  return 0;
}

int Session::GetInfo(const Message& m, std::string* why) {
  if (m.payload.size() < 4) return Short(m, 4, why);
  reply_.resize(16);
  Put<uint32_t>(reply_.data(), 16);
  Put<uint32_t>(reply_.data() + 4, kDeviceFlagsReset | kDeviceFlagsPci);
  Put<uint32_t>(reply_.data() + 8, kNumRegions);
  Put<uint32_t>(reply_.data() + 12, kNumIrqs);
  FitReply(Get<uint32_t>(m.payload.data()));
  return 0;
}

int Session::GetRegionInfo(const Message& m, std::string* why) {
  if (m.payload.size() < 12) return Short(m, 12, why);
  const uint32_t index = Get<uint32_t>(m.payload.data() + 8);
  if (index >= kNumRegions) {
    *why = "region " + Num(index) + ", there are " + Num(kNumRegions);
    return EINVAL;
  }
  uint32_t flags = 0;
  uint64_t size = 0, offset = 0;
  if (index < kBarCount && fn_.bar_bytes[index] != 0) {
    size = fn_.bar_bytes[index];
    flags = kRegionFlagRead | kRegionFlagWrite;
    const BarRegion r = device_.Region(index);
    if (r.mmap_fd >= 0 && caps_.max_msg_fds >= 1) {
      flags |= kRegionFlagMmap;
      offset = r.mmap_offset;
      reply_fd_ = r.mmap_fd;
    }
  } else if (index == kConfigRegion) {
    size = config_.Size();
    flags = kRegionFlagRead | kRegionFlagWrite;
  }
  reply_.resize(32);
  Put<uint32_t>(reply_.data(), 32);
  Put<uint32_t>(reply_.data() + 4, flags);
  Put<uint32_t>(reply_.data() + 8, index);
  Put<uint32_t>(reply_.data() + 12, 0);
  Put<uint64_t>(reply_.data() + 16, size);
  Put<uint64_t>(reply_.data() + 24, offset);
  // Cut short, the reply has no flags to announce the descriptor: it comes with the retry.
  if (FitReply(Get<uint32_t>(m.payload.data()))) reply_fd_ = -1;
  return 0;
}

int Session::GetIrqInfo(const Message& m, std::string* why) {
  if (m.payload.size() < 12) return Short(m, 12, why);
  const uint32_t index = Get<uint32_t>(m.payload.data() + 8);
  if (index >= kNumIrqs) {
    *why = "interrupt index " + Num(index) + ", there are " + Num(kNumIrqs);
    return EINVAL;
  }
  uint32_t flags = 0, count = 0;
  if (index == kIntxIrq && fn_.intx) {
    flags = kIrqInfoEventfd | kIrqInfoMaskable | kIrqInfoAutomasked;
    count = 1;
  } else if (index == kMsiIrq && fn_.msi) {
    flags = kIrqInfoEventfd | kIrqInfoNoresize;
    count = 1;
  }
  reply_.resize(16);
  Put<uint32_t>(reply_.data(), 16);
  Put<uint32_t>(reply_.data() + 4, flags);
  Put<uint32_t>(reply_.data() + 8, index);
  Put<uint32_t>(reply_.data() + 12, count);
  FitReply(Get<uint32_t>(m.payload.data()));
  return 0;
}

int Session::SetIrqs(Message& m, std::string* why) {
  if (const int err = RequestArgsz(m, 20, why)) return err;
  const uint32_t flags = Get<uint32_t>(m.payload.data() + 4);
  const uint32_t index = Get<uint32_t>(m.payload.data() + 8);
  const uint32_t start = Get<uint32_t>(m.payload.data() + 12);
  const uint32_t count = Get<uint32_t>(m.payload.data() + 16);
  const uint32_t data = flags & (kSetDataNone | kSetDataBool | kSetDataEventfd);
  const uint32_t action = flags & (kSetActionMask | kSetActionUnmask | kSetActionTrigger);
  if ((flags & ~0x3fu) != 0 || !OneBit(data) || !OneBit(action)) {
    *why = "flags " + Hex(flags) + " do not name one data kind and one action";
    return EINVAL;
  }
  if (index >= kNumIrqs) {
    *why = "interrupt index " + Num(index) + ", there are " + Num(kNumIrqs);
    return EINVAL;
  }
  if (data != kSetDataEventfd && !m.fds.empty()) {
    *why = Num(m.fds.size()) + " fds without DATA_EVENTFD";
    return EINVAL;
  }
  // count 0 with DATA_NONE and TRIGGER: every interrupt of the index off.
  if (data == kSetDataNone && action == kSetActionTrigger && count == 0 && start == 0) {
    if (index == kIntxIrq || index == kMsiIrq) irq_.SetTrigger(index, UniqueFd());
    return 0;
  }
  const uint32_t avail = (index == kIntxIrq && fn_.intx) || (index == kMsiIrq && fn_.msi) ? 1u : 0u;
  if (count == 0 || start >= avail || count > avail - start) {
    *why = "start " + Num(start) + " count " + Num(count) + " outside the " + Num(avail) +
           " interrupts of index " + Num(index);
    return EINVAL;
  }
  if (data == kSetDataEventfd) {
    if (action != kSetActionTrigger) {
      *why = "eventfds only for ACTION_TRIGGER";
      return EINVAL;
    }
    if (!m.fds.empty() && m.fds.size() != count) {
      *why = Num(m.fds.size()) + " fds for " + Num(count) + " interrupts";
      return EINVAL;
    }
    if (!m.fds.empty() && !IsEventfd(m.fds[0].Get())) {
      *why = "its fd is not an eventfd";
      return EINVAL;
    }
    // No fd: the trigger is removed. The old descriptor is closed as it is replaced.
    irq_.SetTrigger(index, m.fds.empty() ? UniqueFd() : std::move(m.fds[0]));
    return 0;
  }
  if (data == kSetDataBool) {
    if (m.payload.size() < 20u + count) return Short(m, 20u + count, why);  // argsz is its size
    if (m.payload[20] == 0) return 0;
  }
  if (action == kSetActionTrigger) {
    irq_.Trigger(index);
  } else if (index != kIntxIrq) {
    *why = "only INTx is maskable";
    return EINVAL;
  } else if (action == kSetActionMask) {
    irq_.MaskIntx();
  } else {
    irq_.UnmaskIntx();
  }
  return 0;
}

int Session::RegionAccess(const Message& m, bool write, std::string* why) {
  if (m.payload.size() < 16) return Short(m, 16, why);
  const uint64_t offset = Get<uint64_t>(m.payload.data());
  const uint32_t region = Get<uint32_t>(m.payload.data() + 8);
  const uint32_t count = Get<uint32_t>(m.payload.data() + 12);
  const size_t want = 16u + (write ? count : 0u);
  if (m.payload.size() != want) {
    *why = "payload of " + Num(m.payload.size()) + " bytes for count " + Num(count);
    return EINVAL;
  }
  uint64_t size = 0;
  if (region < kBarCount) {
    size = fn_.bar_bytes[region];
  } else if (region == kConfigRegion) {
    size = config_.Size();
  }
  if (size == 0) {
    *why = "region " + Num(region) + " has nothing to access";
    return EINVAL;
  }
  if (count == 0 || count > size || offset > size - count) {
    *why = Num(count) + " bytes at offset " + Hex(offset) + " outside region " + Num(region) +
           " of " + Num(size) + " bytes";
    return EINVAL;
  }
  // The header is read whole at once; a BAR register, at its width.
  if (region < kBarCount &&
      ((count != 1 && count != 2 && count != 4 && count != 8) || offset % count != 0)) {
    *why = "BAR access of " + Num(count) + " bytes at offset " + Num(offset) +
           ": widths are 1, 2, 4 or 8, aligned";
    return EINVAL;
  }
  reply_.resize(16 + (write ? 0 : count));
  std::memcpy(reply_.data(), m.payload.data(), 16);
  const uint32_t off = static_cast<uint32_t>(offset);
  if (region == kConfigRegion) {
    if (write) {
      // The reset is done before the write is answered: the client's wait after it starts
      // with the function already back at its reset values.
      if (config_.Write(off, count, m.payload.data() + 16)) return Reset("function-level reset");
      ApplyCommand();
    } else {
      config_.Read(off, count, reply_.data() + 16, irq_.Asserted());
    }
  } else if (write) {
    uint64_t v = 0;
    std::memcpy(&v, m.payload.data() + 16, count);
    device_.BarWrite(region, offset, count, v);
  } else {
    const uint64_t v = device_.BarRead(region, offset, count);
    std::memcpy(reply_.data() + 16, &v, count);
  }
  return 0;
}

int Session::DmaMap(Message& m, std::string* why) {
  if (const int err = RequestArgsz(m, 32, why)) return err;
  const uint32_t flags = Get<uint32_t>(m.payload.data() + 4);
  const uint64_t offset = Get<uint64_t>(m.payload.data() + 8);
  const uint64_t iova = Get<uint64_t>(m.payload.data() + 16);
  const uint64_t size = Get<uint64_t>(m.payload.data() + 24);
  UniqueFd fd = m.fds.empty() ? UniqueFd() : std::move(m.fds[0]);
  auto lock = dma_.Lock();
  return dma_.MapLocked(iova, size, offset, flags, std::move(fd), why);
}

int Session::DmaUnmap(const Message& m, std::string* why) {
  if (m.payload.size() < 24) return Short(m, 24, why);
  const uint32_t flags = Get<uint32_t>(m.payload.data() + 4);
  const uint64_t iova = Get<uint64_t>(m.payload.data() + 8);
  const uint64_t size = Get<uint64_t>(m.payload.data() + 16);
  if ((flags & ~kUnmapAll) != 0 || ((flags & kUnmapAll) != 0 && (iova != 0 || size != 0))) {
    *why = "flags " + Hex(flags) + " with iova " + Hex(iova) + " size " + Hex(size);
    return EINVAL;
  }
  {
    // The protocol document asks for the range of a mapping exactly; QEMU 11.1 sends sweeps
    // (up to the whole 2^64 space) that seldom match one and counts on their success: every
    // mapping that meets the range goes, and an unmap that meets none still succeeds.
    auto lock = dma_.Lock();
    dma_.UnmapLocked(iova, size, (flags & kUnmapAll) != 0);
  }
  // The request echoed, as the document asks, but for its argsz: the size needed, as in every
  // reply.
  reply_.assign(m.payload.begin(), m.payload.begin() + 24);
  Put<uint32_t>(reply_.data(), 24);
  FitReply(Get<uint32_t>(m.payload.data()));
  return 0;
}

// argsz is the most reply the client's buffer takes. A reply that does not fit is cut to it,
// keeping at least its argsz field, which already holds the size needed: the client asks again
// with a buffer that big.
bool Session::FitReply(uint32_t argsz) {
  if (argsz >= reply_.size()) return false;
  reply_.resize(std::max<size_t>(4, argsz));
  return true;
}

int Session::Reset(const char* why) {
  log_.Line(std::string("reset by ") + why);
  device_.Reset();
  config_.Reset();
  ApplyCommand();
  return 0;
}

void Session::ApplyCommand() {
  dma_.SetBusMaster(config_.BusMaster());
  irq_.SetIntxDisabled(config_.IntxDisabled());
}

}  // namespace vfu
