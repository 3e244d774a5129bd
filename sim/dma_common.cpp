#include "dma_common.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

void DmaLog::Error(const std::string& reason) {
  if (errors_ == 0) first_error_ = reason;
  ++errors_;
}

void DmaLog::Blocked(const std::string& reason) {
  ++blocked_;
  Error(reason);
}

void DmaLog::Report(std::vector<std::string>* findings) {
  if (blocked_ != 0 && findings)
    findings->push_back(Format("%llu DMA access%s blocked",
                               static_cast<unsigned long long>(blocked_),
                               blocked_ == 1 ? "" : "es"));
  if (errors_ != 0 && findings)
    findings->push_back(Format("%llu DMA programming error%s (first: %s)",
                               static_cast<unsigned long long>(errors_), errors_ == 1 ? "" : "s",
                               first_error_.c_str()));
  blocked_ = 0;
  errors_ = 0;
  first_error_.clear();
}

}  // namespace sim
