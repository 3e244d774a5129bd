// The suite's stand-in for the library's record of status causes: the backend's texts are
// kept here for the tests to read, without the library and a backend of its own.
#include <map>
#include <mutex>

#include "fixture.h"

namespace {
std::mutex g_mu;
std::map<WdcStatus, std::string> g_details;
}  // namespace

namespace wdc {
void SetStatusDetail(WdcStatus status, const std::string& text) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_details[status] = text;
}
}  // namespace wdc

namespace vfio_test {
std::string DetailOf(WdcStatus status) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_details.find(status);
  return it == g_details.end() ? std::string() : it->second;
}
}  // namespace vfio_test
