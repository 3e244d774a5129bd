// The server's log: one line an event, to the owner's sink or to stderr. Lines come from the
// connection thread and from the function's DMA threads, so writing one is serialized.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace vfu {

class Log {
 public:
  Log(std::function<void(const std::string&)> sink, bool verbose)
      : sink_(std::move(sink)), verbose_(verbose) {}
  bool verbose() const { return verbose_; }
  void Line(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (sink_) {
      sink_(line);
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }

 private:
  std::mutex mu_;
  std::function<void(const std::string&)> sink_;
  bool verbose_;
};

}  // namespace vfu
