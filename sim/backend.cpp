// The virtual board as the library's backend: the boards FPGA_SIM asks for, each with its own
// DMA engine, and the library-side settings (forced failures, sleeping).
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "settings.h"
#include "wdc/backend.h"

namespace sim {
namespace {

class SimBackend final : public wdc::Backend {
 public:
  explicit SimBackend(const Settings& settings) : settings_(settings) {
    for (uint32_t i = 0; i < settings.boards; ++i)
      boards_.push_back(std::make_unique<SimBoard>(BoardSettings(settings, i), i));
  }
  size_t BoardCount() const override { return boards_.size(); }
  wdc::Board* BoardAt(size_t index) override {
    return index < boards_.size() ? boards_[index].get() : nullptr;
  }
  std::vector<wdc::FailRule> FailRules() const override { return settings_.fail_rules; }
  bool SleepEnabled() const override { return settings_.sleep_enabled; }

 private:
  const Settings settings_;
  std::vector<std::unique_ptr<SimBoard>> boards_;
};

}  // namespace

std::unique_ptr<wdc::Backend> CreateSimBackend(const char* settings, std::string* error) {
  Settings parsed;
  std::string why;
  if (!ParseSettings(settings, &parsed, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  return std::make_unique<SimBackend>(parsed);
}

}  // namespace sim

std::unique_ptr<wdc::Backend> wdc::CreateBackend(std::string* error) {
  return sim::CreateSimBackend(std::getenv("FPGA_SIM"), error);
}
