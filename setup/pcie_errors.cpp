// The error registers: found in configuration space, named, read as the caller may, and cleared.
#include "setup/pcie_errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "internal.h"
#include "setup/setup.h"
#include "vfio/config_file.h"
#include "vfio/kernel.h"

namespace setup {
namespace {

using internal::kTool;

constexpr uint32_t kConfigBytes = 4096;
constexpr uint32_t kHeaderBytes = 64;  // what sysfs gives anyone but root
constexpr uint32_t kExtendedStart = 0x100;
constexpr uint8_t kExpressId = 0x10;
constexpr uint16_t kAerId = 0x0001;
constexpr uint32_t kDevSta = 0x0a;  // in the Express capability
// In the AER capability.
constexpr uint32_t kUncStatus = 0x04, kUncSeverity = 0x0c, kCorStatus = 0x10;
constexpr uint16_t kDevStaErrors = 0x000f;

uint16_t Get16(const uint8_t* a, uint32_t at) {
  return static_cast<uint16_t>(a[at] | a[at + 1] << 8);
}
uint32_t Get32(const uint8_t* a, uint32_t at) {
  return static_cast<uint32_t>(Get16(a, at)) | static_cast<uint32_t>(Get16(a, at + 2)) << 16;
}

const char* const kCorrectable[16] = {"Receiver Error",
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      "Bad TLP",
                                      "Bad DLLP",
                                      "REPLAY_NUM Rollover",
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      "Replay Timer Timeout",
                                      "Advisory Non-Fatal Error",
                                      "Corrected Internal Error",
                                      "Header Log Overflow"};
const char* const kUncorrectable[27] = {"Undefined",
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        "Data Link Protocol Error",
                                        "Surprise Down Error",
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        "Poisoned TLP Received",
                                        "Flow Control Protocol Error",
                                        "Completion Timeout",
                                        "Completer Abort",
                                        "Unexpected Completion",
                                        "Receiver Overflow",
                                        "Malformed TLP",
                                        "ECRC Error",
                                        "Unsupported Request Error",
                                        "ACS Violation",
                                        "Uncorrectable Internal Error",
                                        "MC Blocked TLP",
                                        "AtomicOp Egress Blocked",
                                        "TLP Prefix Blocked Error",
                                        "Poisoned TLP Egress Blocked"};
// The names the kernel's aer_dev_* files give the bits (a bit without one is "..._bit[N]").
const char* const kKernelCorrectable[16] = {
    "RxErr",    nullptr, nullptr, nullptr, nullptr,   nullptr,       "BadTLP",     "BadDLLP",
    "Rollover", nullptr, nullptr, nullptr, "Timeout", "NonFatalErr", "CorrIntErr", "HeaderOF"};
const char* const kKernelUncorrectable[27] = {
    "Undefined",     nullptr,           nullptr,        nullptr,      "DLP",
    "SDES",          nullptr,           nullptr,        nullptr,      nullptr,
    nullptr,         nullptr,           "TLP",          "FCP",        "CmpltTO",
    "CmpltAbrt",     "UnxCmplt",        "RxOF",         "MalfTLP",    "ECRC",
    "UnsupReq",      "ACSViol",         "UncorrIntErr", "BlockedTLP", "AtomicOpBlocked",
    "TLPBlockedErr", "PoisonTLPBlocked"};

const char* const kDeviceStatus[4] = {"Correctable Error Detected", "Non-Fatal Error Detected",
                                      "Fatal Error Detected", "Unsupported Request Detected"};

template <size_t N>
std::string Named(const char* const (&names)[N], uint32_t bit) {
  return bit < N && names[bit] ? names[bit] : "bit " + std::to_string(bit);
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// The bit a line of an aer_dev_* file counts: by the kernel's name, or "..._bit[N]"; -1: none.
template <size_t N>
int CountedBit(const std::string& name, const char* const (&names)[N]) {
  for (size_t bit = 0; bit < N; ++bit)
    if (names[bit] && name == names[bit]) return static_cast<int>(bit);
  unsigned bit = 0;
  int used = 0;
  const size_t at = name.find("_bit[");
  if (at == std::string::npos || std::sscanf(name.c_str() + at, "_bit[%2u]%n", &bit, &used) != 1 ||
      at + static_cast<size_t>(used) != name.size() || bit >= 32)
    return -1;
  return static_cast<int>(bit);
}

// One aer_dev_* file: "NAME COUNT" lines, then "TOTAL_ERR_COR 3" (or _NONFATAL, _FATAL). False
// when it is missing or has no total.
template <size_t N>
bool ReadCounterFile(const std::string& path, const char* total, const char* const (&names)[N],
                     uint64_t* sum, uint64_t* by_bit) {
  std::string text;
  if (!internal::ReadLine(path, &text)) return false;
  std::istringstream lines(text);
  bool found = false;
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string name = line.substr(0, space);
    const char* digits = line.c_str() + space + 1;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(digits, &end, 10);
    if (*digits < '0' || *digits > '9' || errno != 0 || *end != '\0') continue;
    if (name == total) {
      *sum = v;
      found = true;
    } else if (const int bit = CountedBit(name, names); bit >= 0) {
      by_bit[bit] = v;
    }
  }
  return found;
}

AerCounters ReadCounters(const std::string& sysfs_root, const std::string& bdf) {
  const std::string dir = internal::DeviceDir(sysfs_root, bdf) + "/aer_dev_";
  AerCounters c;
  c.present =
      ReadCounterFile(dir + "correctable", "TOTAL_ERR_COR", kKernelCorrectable,
                      &c.total[AerCounters::kCorrectable], c.by_bit[AerCounters::kCorrectable]) &&
      ReadCounterFile(dir + "nonfatal", "TOTAL_ERR_NONFATAL", kKernelUncorrectable,
                      &c.total[AerCounters::kNonFatal], c.by_bit[AerCounters::kNonFatal]) &&
      ReadCounterFile(dir + "fatal", "TOTAL_ERR_FATAL", kKernelUncorrectable,
                      &c.total[AerCounters::kFatal], c.by_bit[AerCounters::kFatal]);
  return c;
}

// What sysfs config gives the caller, up to 4 KiB; -errno when it cannot be read at all.
long ReadSysfsConfig(Host& host, const std::string& bdf, uint8_t* bytes) {
  const std::string path = internal::DeviceDir(host.SysfsRoot(), bdf) + "/config";
  uint32_t got = 0;
  while (got < kConfigBytes) {
    const long n = host.ReadAt(path, got, bytes + got, kConfigBytes - got);
    if (n < 0) return got > 0 ? got : n;
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  return got;
}

// One function's registers as the caller may read them: as root through sysfs, else (the
// board, on vfio-pci) through its group file; through `keep`, when given, which then stays open
// (each open and close of the device file resets the board).
FunctionErrors ReadFunction(Host& host, const vfio::PciFunction& f, bool board,
                            vfio::ConfigFile* keep = nullptr) {
  FunctionErrors e;
  e.bdf = f.bdf;
  e.counters = ReadCounters(host.SysfsRoot(), f.bdf);
  e.kernel_controls_aer = internal::KernelControlsAer(host.SysfsRoot(), f.bdf);
  uint8_t bytes[kConfigBytes] = {};
  std::string sysfs_short;
  if (host.Privileged()) {
    const long n = ReadSysfsConfig(host, f.bdf, bytes);
    if (n > static_cast<long>(kHeaderBytes)) {
      e.access = ErrorAccess::kSysfs;
      e.regs = DecodeErrors(bytes, static_cast<size_t>(n));
      return e;
    }
    sysfs_short = n < 0
                      ? "its sysfs config cannot be read: " + vfio::ErrnoText(static_cast<int>(-n))
                      : "its sysfs config gives this process only " + std::to_string(n) +
                            " bytes (no CAP_SYS_ADMIN)";
  }
  if (!board) {
    e.unread = !sysfs_short.empty() ? sysfs_short
                                    : "readable as root only (sysfs gives anyone else the first "
                                      "64 bytes of its configuration space)";
    return e;
  }
  if (f.driver == vfio::kAccessDriver && f.iommu_group >= 0) {
    vfio::ConfigFile local(host.Vfio(), f);
    vfio::ConfigFile& file = keep ? *keep : local;
    std::string why;
    const int err = file.IsOpen() ? 0 : file.Open(&why);
    if (err == 0) {
      const long n = file.Read(0, bytes, file.Size());
      if (n == static_cast<long>(file.Size())) {
        e.access = ErrorAccess::kVfio;
        e.group_file = internal::GroupFile(f.iommu_group);
        e.regs = DecodeErrors(bytes, file.Size());
        return e;
      }
      e.unread = "its configuration space could not be read through VFIO: " +
                 (n < 0 ? vfio::ErrnoText(static_cast<int>(-n)) : "a short read");
      return e;
    }
    if (err == EBUSY) {
      e.busy = true;
      e.unread =
          "not read: another process holds the board (fpga-diag, say): run this again "
          "once it has ended, or as root (`sudo " +
          std::string(kTool) + " status " + f.bdf + "`), which reads them meanwhile";
      return e;
    }
    // Refused the group file (or the container) is the common case, said below; anything else
    // went wrong with a file the caller may open.
    if (err != EACCES && err != EPERM && err != ENOENT) {
      e.unread = "not read through VFIO: " + why;
      return e;
    }
  }
  if (!sysfs_short.empty()) {
    e.unread = sysfs_short;
    return e;
  }
  e.unread = "not readable without root or the group file: `sudo " + std::string(kTool) +
             " status " + f.bdf + "` reads them, and `sudo " + kTool + " bind " + f.bdf +
             " --user " + host.CallerName() + "` gives you the group file";
  return e;
}

// Writes 1 to each status bit found set, through the access that read it: 0 or an errno.
// `file`: the board's device file, open, when they were read through it.
int Clear(Host& host, const vfio::PciFunction& f, const FunctionErrors& e, vfio::ConfigFile* file,
          std::string* why) {
  struct Store {
    uint32_t at;
    uint32_t value;
    size_t bytes;
  };
  const ErrorRegisters& r = e.regs;
  std::vector<Store> stores;
  // The AER registers first: Device Status's bits only sum them up.
  if (r.aer && r.uncorrectable) stores.push_back({r.aer_at + kUncStatus, r.uncorrectable, 4});
  if (r.aer && r.correctable) stores.push_back({r.aer_at + kCorStatus, r.correctable, 4});
  if (r.express && r.device_status) stores.push_back({r.express_at + kDevSta, r.device_status, 2});
  const bool vfio = e.access == ErrorAccess::kVfio && file != nullptr && file->IsOpen();
  const std::string path = internal::DeviceDir(host.SysfsRoot(), f.bdf) + "/config";
  for (const Store& s : stores) {
    const uint8_t v[4] = {static_cast<uint8_t>(s.value), static_cast<uint8_t>(s.value >> 8),
                          static_cast<uint8_t>(s.value >> 16), static_cast<uint8_t>(s.value >> 24)};
    const long n = vfio ? file->Write(s.at, v, s.bytes) : host.WriteAt(path, s.at, v, s.bytes);
    if (n == static_cast<long>(s.bytes)) continue;
    const int err = n < 0 ? static_cast<int>(-n) : EIO;
    *why = "the write to " + f.bdf + "'s configuration space failed: " + vfio::ErrnoText(err);
    if (err == EPERM && e.access == ErrorAccess::kSysfs)
      *why += " (a kernel in lockdown refuses writes to configuration space through sysfs)";
    return err;
  }
  return 0;
}

BoardErrors ReadBoardAndPort(Host& host, const vfio::PciFunction& board, vfio::ConfigFile* keep) {
  BoardErrors e;
  e.board = ReadFunction(host, board, true, keep);
  const std::string port = internal::UpstreamPort(host.SysfsRoot(), board.bdf);
  vfio::PciFunction p;
  if (!port.empty() && vfio::ReadPciFunction(host.SysfsRoot(), port, &p)) {
    e.has_port = true;
    e.port = ReadFunction(host, p, false);
  }
  return e;
}

// "Bad TLP (correctable), Completion Timeout (uncorrectable, non-fatal), Correctable Error
// Detected (Device Status)"
std::string SetBits(const ErrorRegisters& r) {
  std::vector<std::string> all;
  for (const std::string& n : CorrectableNames(r)) all.push_back(n + " (correctable)");
  for (uint32_t bit = 0; bit < 32; ++bit)
    if (r.uncorrectable >> bit & 1)
      all.push_back(UncorrectableName(bit) + " (uncorrectable, " +
                    (r.severity >> bit & 1 ? "fatal" : "non-fatal") + ")");
  for (const std::string& n : DeviceStatusNames(r)) all.push_back(n + " (Device Status)");
  return Joined(all);
}

}  // namespace

ErrorRegisters DecodeErrors(const uint8_t* config, size_t bytes) {
  ErrorRegisters r;
  if (bytes < kHeaderBytes || (Get16(config, 0x06) & 0x10) == 0) return r;
  // The capability list: at most 48 entries fit in the space between the header and 0x100.
  uint32_t at = config[0x34] & 0xfcu;
  for (int n = 0; n < 48 && at >= kHeaderBytes && at + 2 <= bytes && at < kExtendedStart; ++n) {
    if (config[at] == kExpressId && at + kDevSta + 2 <= bytes) {
      r.express = true;
      r.express_at = at;
      r.device_status = Get16(config, at + kDevSta) & kDevStaErrors;
      break;
    }
    at = config[at + 1] & 0xfcu;
  }
  // The extended list, from 0x100; a header of 0 (or all ones) is an empty list.
  if (!r.express) return r;
  at = kExtendedStart;
  for (int n = 0; n < 960 && at >= kExtendedStart && at + 4 <= bytes; ++n) {
    const uint32_t header = Get32(config, at);
    if (header == 0 || header == 0xffffffffu) break;
    if ((header & 0xffff) == kAerId && at + kCorStatus + 4 <= bytes) {
      r.aer = true;
      r.aer_at = at;
      r.uncorrectable = Get32(config, at + kUncStatus);
      r.severity = Get32(config, at + kUncSeverity);
      r.correctable = Get32(config, at + kCorStatus);
      break;
    }
    at = (header >> 20) & 0xffcu;
  }
  return r;
}

std::string CorrectableName(uint32_t bit) { return Named(kCorrectable, bit); }
std::string UncorrectableName(uint32_t bit) { return Named(kUncorrectable, bit); }

std::vector<std::string> CorrectableNames(const ErrorRegisters& r) {
  std::vector<std::string> names;
  for (uint32_t bit = 0; bit < 32; ++bit)
    if (r.correctable >> bit & 1) names.push_back(CorrectableName(bit));
  return names;
}

std::vector<std::string> UncorrectableNames(const ErrorRegisters& r) {
  std::vector<std::string> names;
  for (uint32_t bit = 0; bit < 32; ++bit)
    if (r.uncorrectable >> bit & 1)
      names.push_back(UncorrectableName(bit) +
                      (r.severity >> bit & 1 ? " (fatal)" : " (non-fatal)"));
  return names;
}

std::vector<std::string> DeviceStatusNames(const ErrorRegisters& r) {
  std::vector<std::string> names;
  for (uint32_t bit = 0; bit < 4; ++bit)
    if (r.device_status >> bit & 1) names.push_back(Named(kDeviceStatus, bit));
  return names;
}

std::string AccessText(const FunctionErrors& f) {
  switch (f.access) {
    case ErrorAccess::kSysfs: return "through sysfs config as root";
    case ErrorAccess::kVfio: return "through its VFIO group file " + f.group_file;
    case ErrorAccess::kNone: break;
  }
  return "not read";
}

BoardErrors ReadErrors(Host& host, const vfio::PciFunction& board) {
  return ReadBoardAndPort(host, board, nullptr);
}

int ClearErrors(Host& host, const std::string& address, std::ostream& out, std::ostream& err) {
  vfio::PciFunction f;
  if (!internal::Resolve(host, address, internal::Purpose::kChange, &f, err)) return 2;
  // Through the group file, one open for the read, the write and the read again.
  vfio::ConfigFile file(host.Vfio(), f);
  const BoardErrors before = ReadBoardAndPort(host, f, &file);
  if (!before.board.Read()) {
    err << kTool << ": cannot read the error registers of " << f.bdf << ": " << before.board.unread
        << "\n";
    return 1;
  }
  const bool port = before.has_port && before.port.Read();
  if (!before.Any()) {
    out << "No error bit is set in " << f.bdf
        << (port ? " nor in the port above it, " + before.port.bdf : "") << ": nothing to clear.\n";
    return 0;
  }
  vfio::PciFunction p;
  if (port) vfio::ReadPciFunction(host.SysfsRoot(), before.port.bdf, &p);
  for (const auto& [fn, e] :
       {std::make_pair(&f, &before.board), std::make_pair(&p, &before.port)}) {
    if (!e->Read() || !e->regs.Any()) continue;
    std::string why;
    if (Clear(host, *fn, *e, fn == &f ? &file : nullptr, &why) != 0) {
      err << kTool << ": " << why << "\n";
      return 1;
    }
    out << "Cleared in " << (fn == &p ? "the port above it, " : "") << fn->bdf << ", "
        << AccessText(*e) << ": " << SetBits(e->regs) << ".\n";
  }
  const BoardErrors after = ReadBoardAndPort(host, f, &file);
  std::string left;
  for (const FunctionErrors* e : {&after.board, &after.port})
    if (e->Read() && e->regs.Any())
      left += (left.empty() ? "" : "; ") + e->bdf + ": " + SetBits(e->regs);
  if (left.empty()) {
    out << "None is set now in " << f.bdf << (port ? " nor in " + before.port.bdf : "") << ".\n";
    return 0;
  }
  out << "Still set: " << left
      << " (an error that came after the read, or a bit the write did not reach).\n";
  return 1;
}

}  // namespace setup
