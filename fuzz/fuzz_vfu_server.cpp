// The vfio-user server's message handling with arbitrary messages from a client, in front of
// the virtual board's own front (its engine thread, BAR0 in a memfd), so that fuzzed register
// writes start its DMA through fuzzed mappings and raise its interrupt. The board is an Express
// endpoint with FLR and AER, and its first channel-0 transfers and backloop report link errors,
// so that config accesses reach its 4 KiB at any offset and width, its reset and its AER
// registers.
//
// The input is a list of records. A message record: u8 op (bit 7 clear, bits 4-6 zero or more
// than 3; bits 0-1 how many descriptors, bits 2-3 of which kind: a memory file, an eventfd, a
// blocking eventfd whose counter is full, /dev/null), u16 command, u32 flags, u16 payload
// length, the payload. A raw record (bit 7 set): u16 length, then bytes written to the socket as
// they are, framing or not. A resize record (bits 4-6 = 1): u8, the memory file's new size in
// KiB, so that it shrinks under the mappings made of it (or grows back). A stop record (bits 4-6
// = 2): the server's stop descriptor fires, and the input ends there. A pause record (bits 4-6
// = 3): u8, up to 31 ms for the board's DMA to run. The last three come once the commands
// before them have their replies (100 ms at most). The first byte of the
// input chooses how the client answers the server's own DMA_READ/DMA_WRITE: with the data, with
// an error, with a reply of the wrong size, late (after 20 ms, within the server's 50 ms wait),
// or never.
//
// What must hold: no crash, no hang, no descriptor left open once the connection ends; until
// the first raw or stop record, and unless the server ended the connection itself (a flood of
// commands while a DMA waited, say), every command without NO_REPLY gets exactly one reply, in
// order, with its id and command; an error reply is the header alone, and a region info reply
// fits the argsz its request gave (or is that field alone, which then says the size needed); a
// well-formed configuration read inside the 4 KiB, once a VERSION was taken, gets its bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "board_front.h"
#include "fuzz_input.h"
#include "settings.h"
#include "vfu/server.h"

namespace {

int OpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

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
  enum Answer { kData, kError, kWrongSize, kLate, kNever };
  const uint8_t answer = in.Byte() % 5;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  const int mem = memfd_create("fuzz-vfu", MFD_CLOEXEC);
  const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int full = eventfd(0, EFD_CLOEXEC);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const int stop = eventfd(0, EFD_CLOEXEC);
  const uint64_t almost = 0xfffffffffffffffe, one = 1;
  FUZZ_CHECK(mem >= 0 && efd >= 0 && full >= 0 && null >= 0 && stop >= 0 &&
                 ftruncate(mem, 65536) == 0 && write(full, &almost, 8) == 8,
             "setup");
  const int kinds[4] = {mem, efd, full, null};

  std::vector<Expected> expected;
  std::vector<Seen> seen;
  bool cut_short = false;  // a raw or stop record: the framing or the connection may be gone
  std::atomic<bool> server_ended{false};
  std::mutex send_mu;
  std::mutex seen_mu;
  std::condition_variable seen_cv;
  int last_id = -1;
  bool last_seen = false, reader_done = false;

  // The client's reader: every reply recorded, every request of the server answered as the
  // input chose.
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
      if (answer == kNever) continue;
      if (answer == kLate) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      uint64_t count;
      std::memcpy(&count, body.data() + 8, 8);
      out.assign(hdr, hdr + 16);
      uint32_t flags = 1;
      if (answer == kError) flags |= 0x20;
      out.insert(out.end(), body.begin(), body.begin() + 16);
      if (answer != kError && answer != kWrongSize && s.cmd == 11) out.resize(out.size() + count);
      if (answer == kWrongSize) out.resize(out.size() + 3);
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
    // Before a resize, a pause or the stop: the replies to what went before (100 ms at most),
    // so that they act between messages the server has handled, not at whatever point the
    // server has reached in reading them.
    const auto settle = [&] {
      std::unique_lock<std::mutex> lock(seen_mu);
      if (!cut_short)
        seen_cv.wait_for(lock, std::chrono::milliseconds(100),
                         [&] { return seen.size() >= expected.size() || reader_done; });
    };
    while (!in.Empty()) {
      const uint8_t op = in.Byte();
      msg.clear();
      if ((op & 0x80) != 0) {
        const size_t n = std::min<size_t>(in.U16(), in.Left());
        for (size_t i = 0; i < n; ++i) msg.push_back(in.Byte());
        cut_short = true;
        Send(sv[1], send_mu, msg.data(), msg.size(), {});
        continue;
      }
      if ((op >> 4) == 1) {
        // The file shrinks (or grows) between two messages, under whatever maps it.
        settle();
        FUZZ_CHECK(ftruncate(mem, off_t{in.Byte()} * 1024) == 0, "resize");
        continue;
      }
      if ((op >> 4) == 2) {
        settle();
        cut_short = true;
        FUZZ_CHECK(write(stop, &one, 8) == 8, "stop");
        break;
      }
      if ((op >> 4) == 3) {
        // Time for the board's DMA, and for the client's late or missing replies.
        settle();
        std::this_thread::sleep_for(std::chrono::milliseconds(in.Byte() % 32));
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
      if (!cut_short && (flags & 0xf) != 1 && (flags & 0x10) == 0)
        expected.push_back({id, cmd, argsz, config_read});
      Send(sv[1], send_mu, msg.data(), msg.size(), fds);
    }
    // A last command, and its reply awaited: the server handles commands in order, so all
    // before it have been handled, their DMA included, before the end of input ends the
    // connection. After raw bytes or the stop the framing or the connection may be lost, and
    // the end comes at once.
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
    if (!cut_short) expected.push_back({id, 4, 16, 0});
    {
      std::unique_lock<std::mutex> lock(seen_mu);
      last_id = id;
    }
    if (!cut_short) Send(sv[1], send_mu, last, sizeof last, {});
    std::unique_lock<std::mutex> lock(seen_mu);
    if (!cut_short)
      seen_cv.wait_for(lock, std::chrono::seconds(5), [&] { return last_seen || reader_done; });
    lock.unlock();
    shutdown(sv[1], SHUT_WR);
  });

  {
    // FUZZ_VFU_LOG=1 shows the server's log, every message included, when replaying an input.
    static const bool show = std::getenv("FUZZ_VFU_LOG") != nullptr;
    vfu::ServerOptions options;
    options.verbose = show;
    // Short waits, so that a client that never answers or never finishes a message costs an
    // execution little.
    options.message_ms = 200;
    options.dma_reply_ms = 50;
    options.log = [&server_ended](const std::string& line) {
      if (line.rfind("client left: closed the connection", 0) == 0) server_ended = true;
      if (show) std::fprintf(stderr, "%s\n", line.c_str());
    };
    vfu::Server server(options);
    std::string why;
    static const sim::Settings settings = [] {
      sim::Settings s;
      sim::ParseSettings(
          "aer=bad-tlp:ch0@1,aer=malformed-tlp:ch0@2,aer=completion-timeout:ch0@3,"
          "aer=receiver-error:backloop@1",
          &s, nullptr);
      return s;
    }();
    std::unique_ptr<board_server::BoardFront> front = board_server::BoardFront::Create(
        settings, server.Dma(), server.Interrupt(), options.log, &why, &server.Errors());
    FUZZ_CHECK(front != nullptr, "the board's front");
    server.ServeConnection(*front, sv[0], stop);
  }
  writer.join();
  reader.join();
  close(sv[1]);
  for (int fd : {mem, efd, full, null, stop}) close(fd);

  // Before the first raw or stop record the server closes no connection of its own accord:
  // each reply is there, unless the server said why it closed early.
  size_t i = 0;
  bool versioned = false;  // a VERSION was taken: commands are served from the next one on
  for (const Seen& s : seen) {
    if (i == expected.size()) break;
    FUZZ_CHECK(s.id == expected[i].id && s.cmd == expected[i].cmd, "a reply out of order");
    if ((s.flags & 0x20) != 0) FUZZ_CHECK(s.size == 16, "an error reply with a payload");
    if (s.cmd == 5 && (s.flags & 0x20) == 0) {
      FUZZ_CHECK(s.size - 16 <= std::max<uint32_t>(expected[i].argsz, 4),
                 "a region info reply beyond its argsz");
      FUZZ_CHECK(s.argsz == 32, "a region info reply without the size it needs");
    }
    if (expected[i].config_read != 0 && versioned)
      FUZZ_CHECK((s.flags & 0x20) == 0 && s.size == 32 + expected[i].config_read,
                 "a configuration read inside the space without its bytes");
    if (s.cmd == 1 && (s.flags & 0x20) == 0) versioned = true;
    ++i;
  }
  if (!cut_short && !server_ended) FUZZ_CHECK(i == expected.size(), "a command without its reply");
  FUZZ_CHECK(OpenFds() == fds_before, "a descriptor left open");
  return 0;
}
