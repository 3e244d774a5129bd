// The suite's own vfio-user client, and a fixture that runs a server on an abstract UNIX socket
// on a thread of its own until the case ends: the descriptors it holds must then be back where
// they were, and a failing case prints the server's log.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vfu/server.h"

namespace vfu_test {

constexpr uint16_t kVersion = 1, kDmaMap = 2, kDmaUnmap = 3, kGetInfo = 4, kRegionInfo = 5,
                   kIrqInfo = 7, kSetIrqs = 8, kRegionRead = 9, kRegionWrite = 10, kDmaRead = 11,
                   kDmaWrite = 12;
constexpr uint32_t kReply = 1, kNoReply = 0x10, kError = 0x20;

inline long OpenFds() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The sizes of this process's mappings whose line names `name` (a memfd shows as
// "/memfd:NAME (deleted)").
inline std::vector<uint64_t> MappedSpans(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  std::vector<uint64_t> out;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name) == std::string::npos) continue;
    const size_t dash = line.find('-');
    out.push_back(std::stoull(line.substr(dash + 1), nullptr, 16) -
                  std::stoull(line.substr(0, dash), nullptr, 16));
  }
  return out;
}

struct Msg {
  uint16_t id = 0, cmd = 0;
  uint32_t flags = 0, error = 0;
  std::vector<uint8_t> data;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<uint64_t> fields, size_t width) {
  std::vector<uint8_t> out(fields.size() * width);
  size_t i = 0;
  for (uint64_t f : fields) std::memcpy(&out[width * i++], &f, width);
  return out;
}
inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline std::vector<uint8_t> Region(uint64_t offset, uint32_t region, uint32_t count) {
  return Cat(Bytes({offset}, 8), Bytes({region, count}, 4));
}
template <class T>
T At(const uint8_t* p) {
  T x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

class Client {
 public:
  explicit Client(int fd) : fd_(fd) {}
  ~Client() {
    DropFds();
    close(fd_);
  }
  // Sends the message and closes `fds`, as a client does with the fresh descriptors it sends.
  void Send(uint16_t cmd, const std::vector<uint8_t>& data, std::vector<int> fds = {},
            uint32_t flags = 0, uint16_t id = 0, uint32_t err = 0) {
    const uint64_t size = 16 + data.size();
    const auto msg =
        Cat(Cat(Bytes({id != 0 ? id : ++id_, cmd}, 2), Bytes({size, flags, err}, 4)), data);
    iovec iov{const_cast<uint8_t*>(msg.data()), msg.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
    msghdr mh{nullptr, 0, &iov, 1, control, CMSG_SPACE(sizeof(int) * fds.size()), 0};
    *CMSG_FIRSTHDR(&mh) = {CMSG_LEN(sizeof(int) * fds.size()), SOL_SOCKET, SCM_RIGHTS};
    if (fds.empty()) mh.msg_controllen = 0;
    if (!fds.empty()) std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&mh)), &fds[0], sizeof(int) * fds.size());
    EXPECT_EQ(sendmsg(fd_, &mh, MSG_NOSIGNAL), static_cast<ssize_t>(msg.size()));
    for (int fd : fds) close(fd);
  }
  void Reply(const Msg& request, const std::vector<uint8_t>& data, uint32_t err = 0,
             std::vector<int> fds = {}) {
    Send(request.cmd, err != 0 ? std::vector<uint8_t>{} : data, std::move(fds),
         kReply | (err != 0 ? kError : 0), request.id, err);
  }
  // Bytes as they are, and then (`end`) the end of this side's input.
  void Raw(const void* p, size_t n, bool end) {
    ASSERT_EQ(send(fd_, p, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
    if (end) shutdown(fd_, SHUT_WR);
  }
  // The next message, or false on end of file or after 5 s. The descriptors that came with it
  // wait for TakeFd until the next Recv.
  bool Recv(Msg* m) {
    DropFds();
    uint8_t hdr[16];
    if (!Read(hdr, 16)) return false;
    *m = {At<uint16_t>(hdr), At<uint16_t>(hdr + 2), At<uint32_t>(hdr + 8), At<uint32_t>(hdr + 12),
          std::vector<uint8_t>(At<uint32_t>(hdr + 4) - 16)};
    return Read(m->data.data(), m->data.size());
  }
  int TakeFd() {
    if (fds_.empty()) return -1;
    const int fd = fds_.back();
    fds_.pop_back();
    return fd;
  }
  Msg Call(uint16_t cmd, const std::vector<uint8_t>& data, std::vector<int> fds = {}) {
    Send(cmd, data, std::move(fds));
    Msg m;
    EXPECT_TRUE(Recv(&m)) << "no reply to command " << cmd;
    return m;
  }
  int Errno(uint16_t cmd, const std::vector<uint8_t>& data, std::vector<int> fds = {}) {
    const Msg m = Call(cmd, data, std::move(fds));
    return (m.flags & kError) != 0 ? static_cast<int>(m.error) : 0;
  }
  void Version(uint64_t max_data_xfer_size = 4096) {
    const std::string json = R"({"capabilities":{"max_msg_fds":16,"max_data_xfer_size":)" +
                             std::to_string(max_data_xfer_size) +
                             R"(,"migration":{"pgsize":4096},"write_multiple":true}})";
    ASSERT_EQ(
        Errno(kVersion, Cat(Bytes({0}, 4), std::vector<uint8_t>(json.begin(), json.end() + 1))), 0);
  }
  int fd() const { return fd_; }

 private:
  void DropFds() {
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
  bool Read(uint8_t* p, size_t n) {
    for (size_t got = 0; got < n;) {
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, 5000) != 1) return false;
      iovec iov{p + got, n - got};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
      msghdr mh{nullptr, 0, &iov, 1, control, sizeof control, 0};
      const ssize_t r = recvmsg(fd_, &mh, MSG_CMSG_CLOEXEC);
      if (r <= 0) return false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c))
        for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i)
          fds_.push_back(At<int>(CMSG_DATA(c) + i * sizeof(int)));
      got += static_cast<size_t>(r);
    }
    return true;
  }
  int fd_;
  uint16_t id_ = 0;
  std::vector<int> fds_;
};

// Config writes and reads of `n` bytes at `off`.
inline void ConfigWrite(Client& c, uint32_t off, uint64_t v, uint32_t n) {
  auto data = Cat(Region(off, 7, n), Bytes({v}, 8));
  data.resize(16 + n);
  ASSERT_EQ(c.Errno(kRegionWrite, data), 0);
}
inline uint64_t ConfigRead(Client& c, uint32_t off, uint32_t n) {
  const Msg m = c.Call(kRegionRead, Region(off, 7, n));
  uint64_t v = 0;
  if (m.data.size() == 16 + n) std::memcpy(&v, &m.data[16], n);
  return v;
}
inline void BusMaster(Client& c, bool on = true) { ConfigWrite(c, 4, on ? 6 : 2, 2); }
// A DMA_MAP of `file` at `offset`, with fresh descriptors of it as the client sends them.
inline int MapPage(Client& c, int file, uint64_t iova, uint64_t offset, uint32_t flags,
                   uint64_t size = 4096, int fds = 1) {
  std::vector<int> dups;
  for (int i = 0; i < fds; ++i) dups.push_back(dup(file));
  return c.Errno(kDmaMap, Cat(Bytes({32, flags}, 4), Bytes({offset, iova, size}, 8)), dups);
}

class ServerFixture : public ::testing::Test {
 protected:
  // The server, before the device behind it is made (a device may need its DMA space).
  void MakeServer(vfu::ServerOptions options = {}) {
    fds_before_ = OpenFds();
    options.log = [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(log_mu_);
      log_.push_back(l);
    };
    server_ = std::make_unique<vfu::Server>(std::move(options));
  }
  void Serve(vfu::Device& device) {
    addr_.sun_family = AF_UNIX;
    std::snprintf(addr_.sun_path + 1, sizeof addr_.sun_path - 1, "vfu-test-%d", getpid());
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_), 0);
    ASSERT_EQ(listen(listen_, 4), 0);
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, &device] { rc_ = server_->Run(device, listen_, stop_); });
  }
  // Fires the stop descriptor and waits for Run to return.
  void Stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    ASSERT_EQ(write(stop_, &one, 8), 8);
    thread_.join();
    EXPECT_EQ(rc_, 0);
  }
  void TearDown() override {
    Stop();
    close(listen_);
    close(stop_);
    EXPECT_EQ(OpenFds(), fds_before_ + device_fds_) << "a descriptor leaked";
    if (HasFailure())
      for (const std::string& line : Log()) std::printf("server: %s\n", line.c_str());
  }
  std::unique_ptr<Client> Connect(bool version = true, uint64_t max_data_xfer_size = 4096) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_), 0);
    auto c = std::make_unique<Client>(fd);
    if (version) c->Version(max_data_xfer_size);
    return c;
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mu_);
    return log_;
  }
  bool Logged(const std::string& prefix) {
    for (const std::string& line : Log())
      if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
  // Waits up to 5 s for a line that starts with `prefix`.
  bool AwaitLog(const std::string& prefix) {
    for (int i = 0; i < 500 && !Logged(prefix); ++i) usleep(10000);
    return Logged(prefix);
  }
  // An access of the function's DMA engine, on a thread of its own as the engine's are.
  std::future<bool> Dma(std::function<bool(vfu::DmaSpace&)> access) {
    return std::async(std::launch::async, [this, access] {
      auto lock = server_->Dma().Lock();
      return access(server_->Dma());
    });
  }

  std::mutex log_mu_;
  std::vector<std::string> log_;
  std::unique_ptr<vfu::Server> server_;
  sockaddr_un addr_{};
  int listen_ = -1, stop_ = -1, rc_ = -1;
  long fds_before_ = 0;  // before the server and its device were made
  long device_fds_ = 0;  // what the device holds for its lifetime
  std::thread thread_;
};

}  // namespace vfu_test
