// A board's configuration space through its VFIO device file, for a reader that does not take
// the board for a run (fpga-diag-setup, fpga-diag-report): the container, the group and the
// device opened as the utility's open does, the configuration region found, read and written,
// and everything closed again. No BAR is mapped, no DMA mapped, bus mastering left as it is.
//
// vfio-pci resets the function (a function-level reset where it can) when the device file is
// opened and again when it is closed, as at every run of the utility: the error status bits of
// AER are sticky and survive it (but where the kernel controls AER it clears them after the
// reset), Device Status's error bits do not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vfio/discovery.h"
#include "vfio/kernel.h"

namespace vfio {

class ConfigFile {
 public:
  ConfigFile(Kernel& kernel, PciFunction function);
  ~ConfigFile();  // closes what is open
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  // 0, or the errno of the step that failed (EBUSY: another process holds the group or the
  // device), with what failed and what to do in *why; nothing is left open then.
  int Open(std::string* why);
  void Close();
  bool IsOpen() const { return device_fd_ >= 0; }
  // The configuration region's size (4096 for an Express function, 256 for a conventional one).
  uint32_t Size() const { return size_; }
  // Within Size(): the bytes moved, or -errno.
  long Read(uint32_t offset, void* dst, size_t bytes);
  long Write(uint32_t offset, const void* src, size_t bytes);

 private:
  int Fail(int err, const std::string& text, std::string* why);

  Kernel& kernel_;
  const PciFunction function_;
  int container_fd_ = -1, group_fd_ = -1, device_fd_ = -1;
  uint64_t offset_ = 0;  // of the configuration region in the device file
  uint32_t size_ = 0;
};

}  // namespace vfio
