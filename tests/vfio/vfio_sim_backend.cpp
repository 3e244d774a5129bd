// The library's backend of fpga-diag-vfio-sim: the VFIO backend over the suite's model of the
// kernel's VFIO interface, with the virtual boards FPGA_SIM describes as the PCI functions
// behind it. FPGA_VFIO_MODEL describes the rest of the machine, comma-separated:
//   driver=NAME     the boards are bound to NAME instead of vfio-pci (empty: to no driver)
//   iommu=off       the boards have no IOMMU group
//   neighbour=NAME  another function, bound to NAME, shares each board's group
//   group=denied    the group files cannot be opened (EACCES)
//   memlock=KIB     `ulimit -l` (KiB)
//   irq=intx        the boards have no MSI (the default is irq=msi)
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_model.h"
#include "regs/regs.h"
#include "settings.h"
#include "sim_device.h"
#include "vfio/board.h"
#include "wdc/backend.h"

namespace vfio_sim {
namespace {

struct Machine {
  std::string driver = "vfio-pci";
  bool iommu = true;
  std::string neighbour;
  bool group_denied = false;
  uint64_t memlock = UINT64_MAX;
  bool msi = true;
};

bool ParseKib(const std::string& text, uint64_t* bytes) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long kib = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || kib > UINT64_MAX / 1024) return false;
  *bytes = kib * 1024;
  return true;
}

bool ParseMachine(const char* text, Machine* out, std::string* error) {
  std::stringstream items(text ? text : "");
  for (std::string item; std::getline(items, item, ',');) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (key == "driver" && eq != std::string::npos) {
      out->driver = value;
    } else if (item == "iommu=off") {
      out->iommu = false;
    } else if (key == "neighbour" && !value.empty()) {
      out->neighbour = value;
    } else if (item == "group=denied") {
      out->group_denied = true;
    } else if (key == "memlock" && ParseKib(value, &out->memlock)) {
    } else if (item == "irq=intx" || item == "irq=msi") {
      out->msi = item == "irq=msi";
    } else {
      *error = "bad FPGA_VFIO_MODEL item '" + item + "'";
      return false;
    }
  }
  return true;
}

// A board of the VFIO backend whose audit also asks the virtual board behind it: what it saw
// against the host is the virtual board's to tell, as on the board's own backend.
class AuditedBoard final : public wdc::Board {
 public:
  AuditedBoard(wdc::Board& board, sim::SimBoard& device) : board_(board), device_(device) {}
  wdc::BoardIdentity Identity() const override { return board_.Identity(); }
  wdc::BarInfo Bar(uint32_t index) const override { return board_.Bar(index); }
  WdcStatus Open(const wdc::DmaConstraints& dma) override { return board_.Open(dma); }
  void Close() override { board_.Close(); }
  wdc::DeviceWindow Window(uint32_t bar) override { return board_.Window(bar); }
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) override {
    return board_.Read(bar, offset, width, value);
  }
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override {
    return board_.Write(bar, offset, width, value);
  }
  WdcStatus DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override {
    return board_.DmaAllocContig(bytes, dir, out);
  }
  WdcStatus DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override {
    return board_.DmaMapUser(host, bytes, dir, out);
  }
  void DmaUnmap(wdc::DmaMapping* mapping) override { board_.DmaUnmap(mapping); }
  void DmaSyncForDevice(const wdc::DmaMapping& m) override { board_.DmaSyncForDevice(m); }
  void DmaSyncForCpu(const wdc::DmaMapping& m) override { board_.DmaSyncForCpu(m); }
  WdcStatus InterruptAttach() override { return board_.InterruptAttach(); }
  uint32_t InterruptWait() override { return board_.InterruptWait(); }
  void InterruptUnmask() override { board_.InterruptUnmask(); }
  void InterruptDetach() override { board_.InterruptDetach(); }
  void Audit(std::vector<std::string>* findings) override {
    board_.Audit(findings);
    device_.Audit(findings);
  }

 private:
  wdc::Board& board_;
  sim::SimBoard& device_;
};

class VfioSimBackend final : public wdc::Backend {
 public:
  VfioSimBackend(const sim::Settings& settings, const Machine& machine)
      : fail_rules_(settings.fail_rules), sleep_(settings.sleep_enabled) {
    model_.memlock_soft = model_.memlock_hard = machine.memlock;
    for (uint32_t i = 0; i < settings.boards; ++i) {
      devices_.push_back(
          std::make_unique<SimDevice>(sim::BoardSettings(settings, i), i, machine.msi));
      vfio_model::FunctionSetup setup = devices_.back()->Setup();
      setup.driver = machine.driver;
      setup.group = machine.iommu ? static_cast<int>(i) + 1 : -1;
      setup.device = devices_.back().get();
      devices_.back()->Connect(model_.AddFunction(setup));
      if (!machine.neighbour.empty() && machine.iommu) {
        vfio_model::FunctionSetup other;
        other.bdf = setup.bdf.substr(0, setup.bdf.size() - 1) + "1";
        other.vendor_id = 0x8086;
        other.device_id = 0x1234;
        other.driver = machine.neighbour;
        other.group = setup.group;
        model_.AddFunction(other);
      }
      if (machine.group_denied && machine.iommu)
        model_.FailNext("open /dev/vfio/" + std::to_string(setup.group), EACCES);
    }
    vfio_ = vfio::CreateVfioBackend(model_, BOARD_VENDOR_ID, BOARD_DEVICE_ID);
    for (size_t i = 0; i < vfio_->BoardCount(); ++i)
      boards_.push_back(std::make_unique<AuditedBoard>(*vfio_->BoardAt(i), devices_[i]->Board()));
  }
  size_t BoardCount() const override { return boards_.size(); }
  wdc::Board* BoardAt(size_t index) override {
    return index < boards_.size() ? boards_[index].get() : nullptr;
  }
  std::vector<wdc::FailRule> FailRules() const override { return fail_rules_; }
  bool SleepEnabled() const override { return sleep_; }

 private:
  const std::vector<wdc::FailRule> fail_rules_;
  const bool sleep_;
  // In the order they are needed: the boards are closed before the devices stop, the devices
  // before the model goes.
  vfio_model::KernelModel model_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::unique_ptr<wdc::Backend> vfio_;
  std::vector<std::unique_ptr<AuditedBoard>> boards_;
};

}  // namespace
}  // namespace vfio_sim

std::unique_ptr<wdc::Backend> wdc::CreateBackend(std::string* error) {
  sim::Settings settings;
  vfio_sim::Machine machine;
  std::string why;
  if (!sim::ParseSettings(std::getenv("FPGA_SIM"), &settings, &why) ||
      !vfio_sim::ParseMachine(std::getenv("FPGA_VFIO_MODEL"), &machine, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  return std::make_unique<vfio_sim::VfioSimBackend>(settings, machine);
}
