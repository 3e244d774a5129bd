// Real boards as the library's backend: every function of the vendor and device ID that sysfs
// lists, each a VfioBoard, none opened until the program opens it.
#include <memory>
#include <utility>
#include <vector>

#include "vfio/board.h"
#include "vfio/discovery.h"
#include "wdc/backend.h"

namespace vfio {
namespace {

class VfioBackend final : public wdc::Backend {
 public:
  VfioBackend(Kernel& kernel, uint32_t vendor_id, uint32_t device_id) {
    for (PciFunction& f : FindPciFunctions(kernel.SysfsRoot(), vendor_id, device_id))
      boards_.push_back(std::make_unique<VfioBoard>(kernel, std::move(f)));
  }
  size_t BoardCount() const override { return boards_.size(); }
  wdc::Board* BoardAt(size_t index) override {
    return index < boards_.size() ? boards_[index].get() : nullptr;
  }
  std::vector<wdc::FailRule> FailRules() const override { return {}; }
  bool SleepEnabled() const override { return true; }

 private:
  std::vector<std::unique_ptr<VfioBoard>> boards_;
};

}  // namespace

std::unique_ptr<wdc::Backend> CreateVfioBackend(Kernel& kernel, uint32_t vendor_id,
                                                uint32_t device_id) {
  return std::make_unique<VfioBackend>(kernel, vendor_id, device_id);
}

}  // namespace vfio
