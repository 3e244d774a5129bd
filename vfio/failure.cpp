#include "failure.h"

#include <cstdio>

#include "vfio/kernel.h"
#include "wdc/backend.h"

namespace vfio {

WdcStatus Fail(WdcStatus status, const std::string& text) {
  wdc::SetStatusDetail(status, text);
  return status;
}

WdcStatus CallFailed(const char* call, int err, const std::string& bdf, const std::string& advice) {
  return Fail(WDC_STATUS_SYSTEM_ERROR, std::string(call) + " failed for the board at " + bdf +
                                           ": " + ErrnoText(err) + "." +
                                           (advice.empty() ? "" : " " + advice));
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace vfio
