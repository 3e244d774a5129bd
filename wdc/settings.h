// The library's own settings: the text of FPGA_WDC, comma-separated key=value items, the same
// for every backend.
//   fail=OP[@N]          the Nth call (default the first) of operation OP fails
//   slot=[DDDD:]BB:SS.F  only the board at that PCI location is seen (hex, as lspci shows it)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdc/backend.h"

namespace wdc {

struct LibrarySettings {
  std::vector<FailRule> fail_rules;
  std::optional<PciLocation> slot;
};

// Parses `text` (null or empty: the defaults). On a bad item returns false with *error naming
// the item and what is wrong with it.
bool ParseLibrarySettings(const char* text, LibrarySettings* out, std::string* error);

}  // namespace wdc
