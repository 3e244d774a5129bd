// The vfio-user server's message handling with arbitrary messages from a client.
//
// The input is a list of records. A message record: u8 op (bit 7 clear; bits 0-1 how many
// descriptors, bits 2-3 of which kind: memory file, eventfd, /dev/null, or a memory file again),
// u16 command, u32 flags, u16 payload length, the payload. A raw record (bit 7 set): u16
// length, then bytes written to the socket as they are, framing or not. The first byte of the
// input chooses how the client answers the server's own DMA_READ/DMA_WRITE: with the data,
// with an error, or with a reply of the wrong size. The function behind the server does DMA,
// raises its interrupt and reports link errors when BAR1 registers are written, so fuzzed
// mappings and the AER registers are used; it is an Express endpoint with FLR, so config
// writes reach its 4 KiB of configuration space and its reset at any offset and width.
//
// What must hold: no crash, no hang, no descriptor left open once the connection ends; until
// the first raw record, every command without NO_REPLY gets exactly one reply, in order, with
// its id and command, an error reply is the header alone, a region info reply fits the argsz
// its request gave, and a well-formed configuration read inside the 4 KiB succeeds with its
// bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_input.h"
#include "vfu/server.h"

namespace {

int OpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

class FakeFunction : public vfu::Device {
 public:
  FakeFunction(vfu::DmaSpace& dma, vfu::InterruptLine& irq, vfu::ErrorReporting& errors,
               int bar0)
      : dma_(dma), irq_(irq), errors_(errors), bar0_(bar0) {}
  vfu::PciFunction Function() const override {
    vfu::PciFunction f;
    f.vendor_id = 0x10ee;
    f.device_id = 0x5050;
    f.bar_bytes[0] = 4096;
    f.bar_bytes[1] = 256;
    f.intx = f.msi = f.express = f.flr = f.aer = true;
    f.link = {1, 2};
    f.max_link = {3, 16};
    return f;
  }
  vfu::BarRegion Region(uint32_t bar) override {
    vfu::BarRegion r;
    if (bar == 0) r.mmap_fd = bar0_;
    return r;
  }
  uint64_t BarRead(uint32_t bar, uint64_t offset, uint32_t) override {
    return bar == 1 ? regs_[offset / 8] : 0;
  }
  // 0x00: the IOVA; 0x08: the length; 0x10/0x18/0x20: write, read, copy (to IOVA + length);
  // 0x28/0x30: raise, lower; 0x38: a link error, bit 0-31 of the value's low byte, uncorrectable
  // when bit 5 is set, with the first two registers as its header when bit 6 is.
  void BarWrite(uint32_t bar, uint64_t offset, uint32_t, uint64_t v) override {
    if (bar != 1) return;
    regs_[offset / 8] = v;
    const uint64_t iova = regs_[0], len = regs_[1] & 0xfff;
    auto lock = dma_.Lock();
    switch (offset / 8) {
      case 2: dma_.WriteLocked(iova, buf_, len); break;
      case 3: dma_.ReadLocked(iova, buf_, len); break;
      case 4:
        if (dma_.CheckLocked(iova, len, false)) dma_.CopyLocked(iova, iova + len, len);
        break;
      case 5: irq_.Raise(); break;
      case 6: irq_.Lower(); break;
      case 7: {
        uint32_t header[4];
        std::memcpy(header, regs_, sizeof header);
        if ((v & 0x20) != 0)
          errors_.Uncorrectable(v & 31, (v & 0x40) != 0 ? header : nullptr);
        else
          errors_.Correctable(v & 31);
        break;
      }
      default: break;
    }
  }
  void Reset() override {}
  void ClientGone() override {}

 private:
  vfu::DmaSpace& dma_;
  vfu::InterruptLine& irq_;
  vfu::ErrorReporting& errors_;
  int bar0_;
  uint64_t regs_[32] = {};
  uint8_t buf_[4096] = {};
};

struct Expected {
  uint16_t id, cmd;
  uint32_t argsz;
  uint32_t config_read;  // a configuration read inside the space: the bytes its reply carries
};

struct Seen {
  uint16_t id, cmd;
  uint32_t size, flags;
  uint32_t argsz;  // of a region info reply
};

bool ReadAll(int fd, void* p, size_t n) {
  for (size_t got = 0; got < n;) {
    const ssize_t r = read(fd, static_cast<uint8_t*>(p) + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void Send(int fd, std::mutex& mu, const uint8_t* p, size_t n, const std::vector<int>& fds) {
  std::lock_guard<std::mutex> lock(mu);
  iovec iov{const_cast<uint8_t*>(p), n};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)];
  if (!fds.empty()) {
    mh.msg_control = control;
    mh.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  for (size_t sent = 0; sent < n;) {
    const ssize_t r = sendmsg(fd, &mh, MSG_NOSIGNAL);
    if (r <= 0) return;
    sent += static_cast<size_t>(r);
    iov = {const_cast<uint8_t*>(p) + sent, n - sent};
    mh.msg_control = nullptr;
    mh.msg_controllen = 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fds_before = OpenFds();
  fuzz::Input in(data, size);
  const uint8_t answer = in.Byte() % 3;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  const int mem = memfd_create("fuzz-vfu", MFD_CLOEXEC);
  const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  FUZZ_CHECK(mem >= 0 && efd >= 0 && null >= 0 && ftruncate(mem, 65536) == 0, "setup");
  const int kinds[4] = {mem, efd, null, mem};

  std::vector<Expected> expected;
  std::vector<Seen> seen;
  bool raw_sent = false;
  std::mutex send_mu;
  std::mutex seen_mu;
  std::condition_variable seen_cv;
  int last_id = -1;
  bool last_seen = false, reader_done = false;

  // The client's reader: every reply recorded, every request of the server answered.
  std::thread reader([&] {
    uint8_t hdr[16];
    std::vector<uint8_t> body, out;
    while (ReadAll(sv[1], hdr, 16)) {
      Seen s{};
      std::memcpy(&s.id, hdr, 2);
      std::memcpy(&s.cmd, hdr + 2, 2);
      std::memcpy(&s.size, hdr + 4, 4);
      std::memcpy(&s.flags, hdr + 8, 4);
      FUZZ_CHECK(s.size >= 16, "a message from the server shorter than its header");
      body.resize(s.size - 16);
      if (!ReadAll(sv[1], body.data(), body.size())) break;
      if ((s.flags & 0xf) == 1) {
        if (body.size() >= 4) std::memcpy(&s.argsz, body.data(), 4);
        std::lock_guard<std::mutex> lock(seen_mu);
        seen.push_back(s);
        if (s.id == last_id && s.cmd == 4) last_seen = true;
        seen_cv.notify_all();
        continue;
      }
      FUZZ_CHECK(s.cmd == 11 || s.cmd == 12, "the server sent a command other than DMA");
      FUZZ_CHECK(body.size() >= 16, "a DMA request without its fields");
      uint64_t count;
      std::memcpy(&count, body.data() + 8, 8);
      out.assign(hdr, hdr + 16);
      uint32_t flags = 1;
      if (answer == 1) flags |= 0x20;
      out.insert(out.end(), body.begin(), body.begin() + 16);
      if (answer == 0 && s.cmd == 11) out.resize(out.size() + count);
      if (answer == 2) out.resize(out.size() + 3);
      const uint32_t out_size = static_cast<uint32_t>(out.size());
      std::memcpy(out.data() + 4, &out_size, 4);
      std::memcpy(out.data() + 8, &flags, 4);
      Send(sv[1], send_mu, out.data(), out.size(), {});
    }
    std::lock_guard<std::mutex> lock(seen_mu);
    reader_done = true;
    seen_cv.notify_all();
  });

  std::thread writer([&] {
    uint16_t id = 0;
    std::vector<uint8_t> msg;
    while (!in.Empty()) {
      const uint8_t op = in.Byte();
      msg.clear();
      if ((op & 0x80) != 0) {
        const size_t n = std::min<size_t>(in.U16(), in.Left());
        for (size_t i = 0; i < n; ++i) msg.push_back(in.Byte());
        raw_sent = true;
        Send(sv[1], send_mu, msg.data(), msg.size(), {});
        continue;
      }
      const uint16_t cmd = in.U16();
      const uint32_t flags = in.U32();
      const size_t n = std::min<size_t>(in.U16(), in.Left());
      const uint32_t total = static_cast<uint32_t>(16 + n), err = 0;
      ++id;
      msg.resize(16);
      std::memcpy(&msg[0], &id, 2);
      std::memcpy(&msg[2], &cmd, 2);
      std::memcpy(&msg[4], &total, 4);
      std::memcpy(&msg[8], &flags, 4);
      std::memcpy(&msg[12], &err, 4);
      uint32_t argsz = 0, config_read = 0;
      for (size_t i = 0; i < n; ++i) msg.push_back(in.Byte());
      if (n >= 4) std::memcpy(&argsz, &msg[16], 4);
      if (cmd == 9 && n == 16 && (op & 3) == 0 && (flags & 0xf) == 0) {
        uint64_t offset;
        uint32_t region, count;
        std::memcpy(&offset, &msg[16], 8);
        std::memcpy(&region, &msg[24], 4);
        std::memcpy(&count, &msg[28], 4);
        if (region == 7 && count != 0 && count <= 4096 && offset <= 4096 - count)
          config_read = count;
      }
      std::vector<int> fds;
      for (int i = 0; i < (op & 3); ++i) fds.push_back(kinds[(op >> 2) & 3]);
      if (!raw_sent && (flags & 0xf) != 1 && (flags & 0x10) == 0)
        expected.push_back({id, cmd, argsz, config_read});
      Send(sv[1], send_mu, msg.data(), msg.size(), fds);
    }
    // A last command, and its reply awaited: the server handles commands in order, so all
    // before it have been handled, their DMA included, before the end of input ends the
    // connection. After raw bytes the framing may be lost, and the end comes at once.
    const uint8_t last[32] = {static_cast<uint8_t>(++id),
                              static_cast<uint8_t>(id >> 8),
                              4,
                              0,
                              32,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              16};
    if (!raw_sent) expected.push_back({id, 4, 16, 0});
    {
      std::unique_lock<std::mutex> lock(seen_mu);
      last_id = id;
    }
    Send(sv[1], send_mu, last, sizeof last, {});
    std::unique_lock<std::mutex> lock(seen_mu);
    if (!raw_sent)
      seen_cv.wait_for(lock, std::chrono::seconds(5), [&] { return last_seen || reader_done; });
    lock.unlock();
    shutdown(sv[1], SHUT_WR);
  });

  {
    // FUZZ_VFU_LOG=1 shows the server's log, every message included, when replaying an input.
    static const bool show = std::getenv("FUZZ_VFU_LOG") != nullptr;
    vfu::ServerOptions options{show, nullptr};
    if (!show) options.log = [](const std::string&) {};
    vfu::Server server(options);
    FakeFunction function(server.Dma(), server.Interrupt(), server.Errors(), mem);
    server.ServeConnection(function, sv[0], -1);
  }
  writer.join();
  reader.join();
  close(sv[1]);
  close(mem);
  close(efd);
  close(null);

  // Before the first raw record the server closes no connection: each reply is there.
  size_t i = 0;
  bool versioned = false;  // a VERSION was taken: commands are served from the next one on
  for (const Seen& s : seen) {
    if (i == expected.size()) break;
    FUZZ_CHECK(s.id == expected[i].id && s.cmd == expected[i].cmd, "a reply out of order");
    if ((s.flags & 0x20) != 0) FUZZ_CHECK(s.size == 16, "an error reply with a payload");
    if (s.cmd == 5 && (s.flags & 0x20) == 0)
      FUZZ_CHECK(s.size - 16 <= expected[i].argsz, "a region info reply beyond its argsz");
    if (expected[i].config_read != 0 && versioned)
      FUZZ_CHECK((s.flags & 0x20) == 0 && s.size == 32 + expected[i].config_read,
                 "a configuration read inside the space without its bytes");
    if (s.cmd == 1 && (s.flags & 0x20) == 0) versioned = true;
    ++i;
  }
  if (!raw_sent) FUZZ_CHECK(i == expected.size(), "a command without its reply");
  FUZZ_CHECK(OpenFds() == fds_before, "a descriptor left open");
  return 0;
}
