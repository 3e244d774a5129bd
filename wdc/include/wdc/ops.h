// The library's operations by name: the order fixes each one's forced-failure status
// (WDC_STATUS_FAIL_BASE + index) and the names are those FPGA_SIM's fail= items use.
#pragma once

#include <cstdint>
#include <cstring>

namespace wdc {

enum class Op : uint32_t {
  DriverOpen, DriverClose, PciScanDevices, PciGetDeviceInfo, PciDeviceOpen, PciDeviceClose,
  ReadAddr8, ReadAddr16, ReadAddr32, ReadAddr64, WriteAddr8, WriteAddr16, WriteAddr32,
  WriteAddr64, DMAContigBufLock, DMASGBufLock, DMABufUnlock, DMASyncCpu, DMASyncIo, IntEnable,
  IntIsEnabled, IntDisable, Sleep, Stat2Str,
  Count
};
constexpr uint32_t kOpCount = static_cast<uint32_t>(Op::Count);

constexpr const char* kOpNames[kOpCount] = {
    "WDC_DriverOpen",       "WDC_DriverClose",  "WDC_PciScanDevices", "WDC_PciGetDeviceInfo",
    "WDC_PciDeviceOpen",    "WDC_PciDeviceClose", "WDC_ReadAddr8",    "WDC_ReadAddr16",
    "WDC_ReadAddr32",       "WDC_ReadAddr64",   "WDC_WriteAddr8",     "WDC_WriteAddr16",
    "WDC_WriteAddr32",      "WDC_WriteAddr64",  "WDC_DMAContigBufLock", "WDC_DMASGBufLock",
    "WDC_DMABufUnlock",     "WDC_DMASyncCpu",   "WDC_DMASyncIo",      "WDC_IntEnable",
    "WDC_IntIsEnabled",     "WDC_IntDisable",   "WDC_Sleep",          "Stat2Str",
};

// WDC_IntIsEnabled and Stat2Str return no status, so they cannot be made to fail.
constexpr bool ReturnsStatus(Op op) { return op != Op::IntIsEnabled && op != Op::Stat2Str; }

// The operation of that name, or Op::Count when there is none.
inline Op OpFromName(const char* name, size_t len) {
  for (uint32_t i = 0; i < kOpCount; ++i)
    if (std::strlen(kOpNames[i]) == len && std::memcmp(kOpNames[i], name, len) == 0)
      return static_cast<Op>(i);
  return Op::Count;
}

}  // namespace wdc
