// How the backend's units report a failure: the status with its text recorded for the library
// (wdc::SetStatusDetail), so that the user reads why and not only which status.
#pragma once

#include <cstdint>
#include <string>

#include "vfio/advice.h"
#include "wdc/wdc_lib.h"

namespace vfio {

WdcStatus Fail(WdcStatus status, const std::string& text);
inline WdcStatus Fail(const Advice& advice) { return Fail(advice.status, advice.text); }

// A system call that failed with `err` where nothing better than its name and errno can be
// said: a system error, with `advice` appended when there is some.
WdcStatus CallFailed(const char* call, int err, const std::string& bdf,
                     const std::string& advice = "");

std::string Hex(uint64_t v);  // "0x1000"

}  // namespace vfio
