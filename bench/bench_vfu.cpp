// A REGION_READ of a 4-byte BAR1 register through the vfio-user server, against the floor: a
// bare round trip of the same sizes (32 bytes there, 36 back) over a UNIX socketpair between
// two threads. The goal is at most twice the floor. Behind the server is the virtual board's
// front, as fpga-board-server serves it: the register read takes the board's lock.
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <cstring>
#include <thread>
#include <vector>

#include "board_front.h"
#include "regs/regs.h"
#include "settings.h"
#include "vfu/server.h"

namespace {

constexpr size_t kRequest = 32, kReply = 36;

bool ReadFull(int fd, uint8_t* p, size_t n) {
  for (size_t got = 0; got < n;) {
    const ssize_t r = read(fd, p + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void Message(uint8_t* out, uint16_t id, uint16_t cmd, const void* payload, uint32_t len) {
  const uint32_t size = 16 + len, zero = 0;
  std::memcpy(out, &id, 2);
  std::memcpy(out + 2, &cmd, 2);
  std::memcpy(out + 4, &size, 4);
  std::memcpy(out + 8, &zero, 4);
  std::memcpy(out + 12, &zero, 4);
  std::memcpy(out + 16, payload, len);
}

void ReportLatency(benchmark::State& state, std::vector<uint64_t>& ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = static_cast<double>(ns[ns.size() / 2]);
  state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
}

template <class F>
void Loop(benchmark::State& state, int fd, const uint8_t* req, F check) {
  uint8_t reply[kReply];
  std::vector<uint64_t> ns;
  ns.reserve(1 << 20);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (write(fd, req, kRequest) != static_cast<ssize_t>(kRequest) ||
        !ReadFull(fd, reply, kReply) || !check(reply)) {
      state.SkipWithError("round trip failed");
      break;
    }
    const auto t1 = std::chrono::steady_clock::now();
    if (ns.size() < ns.capacity())
      ns.push_back(static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
  }
  ReportLatency(state, ns);
}

void BM_SocketRoundTripFloor(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  std::thread echo([fd = sv[0]] {
    uint8_t buf[kReply] = {};
    while (ReadFull(fd, buf, kRequest) && write(fd, buf, kReply) == static_cast<ssize_t>(kReply)) {
    }
  });
  uint8_t req[kRequest] = {};
  Loop(state, sv[1], req, [](const uint8_t*) { return true; });
  close(sv[1]);
  echo.join();
  close(sv[0]);
}
BENCHMARK(BM_SocketRoundTripFloor)->UseRealTime();

void BM_RegionReadBar1(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  vfu::Server server(vfu::ServerOptions{false, [](const std::string&) {}});
  std::string why;
  std::unique_ptr<board_server::BoardFront> board =
      board_server::BoardFront::Create(sim::Settings(), server.Dma(), server.Interrupt(), {}, &why);
  if (!board) {
    state.SkipWithError(why.c_str());
    return;
  }
  // A register that holds what it was written, so that each reply shows the board's value.
  board->BarWrite(AD_BAR1, DMA_CH_ADDR(1), 4, 0x12345678);
  std::thread serve([&] { server.ServeConnection(*board, sv[0], -1); });
  static const char kCaps[] = R"({"capabilities":{"max_msg_fds":16}})";
  uint8_t version[4 + sizeof kCaps] = {};
  std::memcpy(version + 4, kCaps, sizeof kCaps);
  std::vector<uint8_t> msg(16 + sizeof version), reply(512);
  Message(msg.data(), 1, 1, version, sizeof version);
  uint8_t hdr[16];
  uint32_t size = 0;
  if (write(sv[1], msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()) ||
      !ReadFull(sv[1], hdr, 16) || (std::memcpy(&size, hdr + 4, 4), size < 16) ||
      size - 16 > reply.size() || !ReadFull(sv[1], reply.data(), size - 16)) {
    state.SkipWithError("VERSION failed");
  } else {
    const uint64_t offset = DMA_CH_ADDR(1);
    const uint32_t fields[2] = {AD_BAR1, 4};
    uint8_t payload[16];
    std::memcpy(payload, &offset, 8);
    std::memcpy(payload + 8, fields, 8);
    uint8_t req[kRequest];
    Message(req, 2, 9, payload, sizeof payload);
    Loop(state, sv[1], req, [](const uint8_t* r) {
      uint32_t flags, value;
      std::memcpy(&flags, r + 8, 4);
      std::memcpy(&value, r + 32, 4);
      return flags == 1 && value == 0x12345678;
    });
  }
  close(sv[1]);
  serve.join();
}
BENCHMARK(BM_RegionReadBar1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
