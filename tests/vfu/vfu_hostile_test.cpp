// A hostile client: what a VMM that a guest has broken could do to fpga-board-server, against
// the virtual board's own front (its engine thread, BAR0 in a memfd). Each case makes one
// attack, checks that it got the sound behaviour, and then that the next client is served; the
// fixture checks that every descriptor came back once the clients left.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "board_front.h"
#include "regs/regs.h"
#include "settings.h"
#include "vfu_client.h"

namespace {

using namespace vfu_test;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kTiB = uint64_t{1} << 40;
constexpr uint32_t kSetIrqsMsiEventfd = 0x24;  // DATA_EVENTFD | ACTION_TRIGGER

std::vector<uint8_t> RegionInfo(uint32_t argsz, uint32_t index) {
  return Cat(Bytes({argsz, 0, index, 0}, 4), Bytes({0, 0}, 8));
}

void W32(Client& c, uint32_t off, uint32_t v) {
  ASSERT_EQ(c.Errno(kRegionWrite, Cat(Region(off, AD_BAR1, 4), Bytes({v}, 4))), 0) << off;
}
uint32_t R32(Client& c, uint32_t off) {
  const Msg m = c.Call(kRegionRead, Region(off, AD_BAR1, 4));
  return m.data.size() == 20 ? At<uint32_t>(&m.data[16]) : ~0u;
}
uint64_t Bar0Read(Client& c, uint32_t off) {
  const Msg m = c.Call(kRegionRead, Region(off, AD_BAR0, 8));
  return m.data.size() == 24 ? At<uint64_t>(&m.data[16]) : 0;
}
// One channel-0 transfer of `bytes` between BAR0 and bus address `bus`. Its start is posted
// when the transfer's own DMA_READ or DMA_WRITE may come before a reply would.
void Channel0(Client& c, uint32_t bus, uint32_t bytes, bool board_writes, bool posted = false) {
  W32(c, DMA_CH_ADDR(0), bus);
  W32(c, DMA_CH_CTRL(0), DIAG_CtrlWord(true, board_writes, true, bytes));
  W32(c, DMA_WORD_COUNT, (bytes + 7) / 8);
  if (posted) {
    c.Send(kRegionWrite, Cat(Region(DMA_START, AD_BAR1, 4), Bytes({1u << DMA_CH_INTEGRITY}, 4)), {},
           kNoReply);
  } else {
    W32(c, DMA_START, 1u << DMA_CH_INTEGRITY);
  }
}
// Channel 0 serves its starts in order: once this one has completed, every earlier one is done.
bool Channel0Done(Client& c) {
  for (int i = 0; i < 500; ++i) {
    if ((R32(c, INT_CTRL) & INT_CH0_DONE) != 0) return true;
    usleep(10000);
  }
  return false;
}
// A BAR0 descriptor as REGION_INFO hands it over.
int Bar0Fd(Client& c) {
  const Msg m = c.Call(kRegionInfo, RegionInfo(32, AD_BAR0));
  EXPECT_TRUE(m.data.size() == 32 && (At<uint32_t>(&m.data[4]) & 4) != 0) << "BAR0 not mappable";
  return c.TakeFd();
}
int MemFile(const char* name, uint64_t bytes) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
  return fd;
}

class VfuHostile : public ServerFixture {
 protected:
  void Start(vfu::ServerOptions options = {}) {
    MakeServer(std::move(options));
    std::string why;
    front_ = board_server::BoardFront::Create(
        sim::Settings(), server_->Dma(), server_->Interrupt(),
        [this](const std::string& l) {
          std::lock_guard<std::mutex> lock(log_mu_);
          log_.push_back(l);
        },
        &why);
    ASSERT_TRUE(front_) << why;
    device_fds_ = 1;  // BAR0's memfd, one at a time
    Serve(*front_);
  }
  // After the attack: the departure logged, then a client that gets its answers from the board.
  void ExpectNextClientServed() {
    EXPECT_TRUE(AwaitLog("client left")) << "the attacker's connection did not end";
    auto c = Connect();
    EXPECT_EQ(ConfigRead(*c, 0, 4), 0x505010eeu);
    W32(*c, DMA_CH_ADDR(1), 0x1234560);
    EXPECT_EQ(R32(*c, DMA_CH_ADDR(1)), 0x1234560u);
  }

  std::unique_ptr<board_server::BoardFront> front_;
};

TEST_F(VfuHostile, Bar0MemoryCannotBeShrunkOrGrown) {
  Start();
  auto c = Connect();
  const int fd = Bar0Fd(*c);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ftruncate(fd, 0), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ftruncate(fd, 2 * BAR0_BYTES), -1);
  EXPECT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE), -1) << "the seals themselves are sealed";
  // The last word the client writes through its mapping is the board's, read without a fault.
  auto* cells =
      static_cast<uint64_t*>(mmap(nullptr, BAR0_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(cells, MAP_FAILED);
  cells[BAR0_BYTES / 8 - 1] = 0x1122334455667788;
  EXPECT_EQ(Bar0Read(*c, BAR0_BYTES - 8), 0x1122334455667788u);
  munmap(cells, BAR0_BYTES);
  close(fd);
  c.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, ShrunkDmaFileFailsTheTransferAsABlockedDma) {
  Start();
  auto c = Connect();
  BusMaster(*c, true);
  const int shrinks = MemFile("vfu-shrinks", 8192), good = MemFile("vfu-good", 4096);
  ASSERT_EQ(MapPage(*c, shrinks, 0x100000, 4096, 3), 0);
  ASSERT_EQ(MapPage(*c, good, 0x200000, 0, 3), 0);
  ASSERT_EQ(ftruncate(shrinks, 0), 0);
  ASSERT_EQ(c->Errno(kRegionWrite, Cat(Region(0, AD_BAR0, 8), Bytes({0x77}, 8))), 0);
  Channel0(*c, 0x100000, 4096, false);  // the board reads the lost page...
  Channel0(*c, 0x100ff8, 8, true);      // ...and writes its last word
  Channel0(*c, 0x200008, 8, true);      // and then a page that is still there
  ASSERT_TRUE(Channel0Done(*c));
  uint64_t word = 0;
  EXPECT_EQ(pread(good, &word, 8, 8), 8);
  EXPECT_EQ(word, 0x77u) << "BAR0's first word, as written";
  EXPECT_TRUE(Logged("a DMA at iova 0x100000 faulted in the client's memory file"));
  c.reset();
  EXPECT_TRUE(AwaitLog("the board found: 2 DMA accesses blocked"));
  close(shrinks);
  close(good);
  ExpectNextClientServed();
}

TEST_F(VfuHostile, FullEventfdStallsOnlyTheClientsOwnInterrupts) {
  Start();
  auto c = Connect();
  BusMaster(*c, true);
  // A blocking eventfd one short of its limit: any write to it blocks until the client reads.
  const int efd = eventfd(0, EFD_CLOEXEC);
  const uint64_t full = 0xfffffffffffffffe;
  ASSERT_EQ(write(efd, &full, 8), 8);
  ASSERT_EQ(c->Errno(kSetIrqs, Bytes({20, kSetIrqsMsiEventfd, 1, 0, 1}, 4), {dup(efd)}), 0);
  // The client's own trigger, on the connection thread; then a completion, raised by the
  // board's engine with the board's lock held. The connection and the board still answer.
  EXPECT_EQ(c->Errno(kSetIrqs, Bytes({20, 0x21, 1, 0, 1}, 4)), 0);
  const int page = MemFile("vfu-page", 4096);
  ASSERT_EQ(MapPage(*c, page, 0x200000, 0, 3), 0);
  W32(*c, INT_CTRL, INT_ENABLE);
  Channel0(*c, 0x200000, 8, true);
  EXPECT_TRUE(Channel0Done(*c));
  EXPECT_FALSE(server_->FlushInterrupts(100)) << "the write to the full counter went through";
  c.reset();
  EXPECT_TRUE(AwaitLog("client left"));
  EXPECT_TRUE(server_->FlushInterrupts(1000)) << "the blocked write outlived its client";
  EXPECT_TRUE(Logged("the client's MSI eventfd is full: its interrupt was still waiting"));
  uint64_t count = 0;
  EXPECT_EQ(read(efd, &count, 8), 8);
  EXPECT_EQ(count, full);
  close(efd);
  close(page);
  ExpectNextClientServed();
}

TEST_F(VfuHostile, MapsTakeTheirWindowsUnderACap) {
  Start();
  auto c = Connect();
  BusMaster(*c, true);
  // A page at the end of each of 62 sparse files of 64 TiB: 4 PiB if whole files were mapped.
  for (uint64_t i = 0; i < 62; ++i) {
    const int f = MemFile("vfu-sparse", 64 * kTiB);
    ASSERT_EQ(MapPage(*c, f, 0x10000000 + i * 4096, 64 * kTiB - 4096, 3), 0) << i;
    close(f);
  }
  const std::vector<uint64_t> spans = MappedSpans("memfd:vfu-sparse");
  EXPECT_EQ(spans.size(), 62u);
  for (uint64_t s : spans) EXPECT_LE(s, uint64_t{64} << 20);
  // A window past the cap on all maps is refused, and said so.
  const int huge = MemFile("vfu-huge", 4 * kTiB);
  EXPECT_EQ(MapPage(*c, huge, 0x40000000, 0, 3, 2 * kTiB), ENOMEM);
  EXPECT_TRUE(Logged("refused DMA_MAP (id 65): the client's files would take more than 1024 GiB"));
  close(huge);
  // Pages of one file far apart share one span, grown to hold both.
  const int guest = MemFile("vfu-guest", 512u << 20);
  ASSERT_EQ(MapPage(*c, guest, 0x20000000, 0, 3), 0);
  ASSERT_EQ(MapPage(*c, guest, 0x20001000, 400u << 20, 3), 0);
  EXPECT_EQ(MappedSpans("memfd:vfu-guest").size(), 1u);
  const uint64_t a = 0xa1, b = 0xb2;
  EXPECT_TRUE(Dma([&](vfu::DmaSpace& d) {
                return d.WriteLocked(0x20000000, &a, 8) && d.WriteLocked(0x20001ff8, &b, 8);
              }).get());
  uint64_t got_a = 0, got_b = 0;
  EXPECT_EQ(pread(guest, &got_a, 8, 0), 8);
  EXPECT_EQ(pread(guest, &got_b, 8, (400 << 20) + 4088), 8);
  EXPECT_EQ(got_a, a);
  EXPECT_EQ(got_b, b);
  close(guest);
  c.reset();
  ExpectNextClientServed();
  EXPECT_TRUE(MappedSpans("memfd:vfu-").empty()) << "a departed client's files still mapped";
}

TEST_F(VfuHostile, CommandsFloodedWhileADmaWaitsEndTheConnection) {
  Start();
  // max_data_xfer_size 1: every byte the client serves is a round trip.
  auto c = Connect(true, 1);
  BusMaster(*c, true);
  uint8_t buf[64];
  auto r = Dma([&](vfu::DmaSpace& d) { return d.ReadLocked(0x300000, buf, sizeof buf); });
  Msg m;
  ASSERT_TRUE(c->Recv(&m));
  EXPECT_EQ(m.data, Bytes({0x300000, 1}, 8));
  // The connection thread takes the map and waits behind the DMA for the DMA space: the DMA's
  // thread reads all that follows, and queues it, while it waits for the reply.
  const int page = MemFile("vfu-page", 4096);
  c->Send(kDmaMap, Cat(Bytes({32, 3}, 4), Bytes({0, 0x500000, 4096}, 8)), {dup(page)});
  close(page);
  // A REGION_READ again and again, until the server shuts the socket.
  const auto read = Cat(Cat(Bytes({1, kRegionRead}, 2), Bytes({32, 0, 0}, 4)), Region(0, 7, 4));
  int sent = 0;
  while (sent < 2000 && send(c->fd(), read.data(), read.size(), MSG_NOSIGNAL) == 32) ++sent;
  EXPECT_GT(sent, 1024);
  EXPECT_TRUE(AwaitLog("client left: closed the connection: more than 1024 commands"));
  EXPECT_FALSE(r.get());
  c.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, TrickledMessageHasOneDeadlineForAllOfIt) {
  Start({false, nullptr, 300, 2000});
  auto c = Connect();
  // A message of 64 bytes at a byte every 50 ms: each gap well inside the deadline, the whole
  // message far beyond it. The server ends the connection before the message is done.
  const auto msg = Cat(Cat(Bytes({7, 4}, 2), Bytes({64, 0, 0}, 4)), std::vector<uint8_t>(48));
  size_t sent = 0;
  for (; sent < msg.size(); ++sent) {
    if (send(c->fd(), &msg[sent], 1, MSG_NOSIGNAL) != 1) break;
    usleep(50000);
    pollfd p{c->fd(), POLLIN, 0};
    if (poll(&p, 1, 0) == 1) break;  // the end of the connection
  }
  EXPECT_LT(sent, msg.size());
  EXPECT_TRUE(
      AwaitLog("client left: closed the connection: the client did not finish a message "
               "within 300 ms"));
  c.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, DepartedClientsBar0MappingNoLongerReachesTheBoard) {
  Start();
  auto a = Connect();
  const int fd_a = Bar0Fd(*a);
  auto* old_cells = static_cast<uint64_t*>(
      mmap(nullptr, BAR0_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd_a, 0));
  ASSERT_NE(old_cells, MAP_FAILED);
  old_cells[0] = 0x5a5a;
  a.reset();
  EXPECT_TRUE(AwaitLog("client left"));
  auto b = Connect();
  EXPECT_EQ(Bar0Read(*b, 0), 0x5a5au) << "the board's contents carried over";
  old_cells[0] = 0xdead;  // the departed client, still mapping its BAR0
  EXPECT_EQ(Bar0Read(*b, 0), 0x5a5au);
  ASSERT_EQ(b->Errno(kRegionWrite, Cat(Region(8, AD_BAR0, 8), Bytes({0xbeef}, 8))), 0);
  EXPECT_EQ(old_cells[1], 0u);
  const int fd_b = Bar0Fd(*b);
  struct stat st_a, st_b;
  ASSERT_EQ(fstat(fd_a, &st_a) | fstat(fd_b, &st_b), 0);
  EXPECT_NE(st_a.st_ino, st_b.st_ino);
  munmap(old_cells, BAR0_BYTES);
  close(fd_a);
  close(fd_b);
  b.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, DescriptorsOfAReplyNobodyWaitsForAreClosedAtOnce) {
  Start();
  auto c = Connect();
  const long before = OpenFds();
  c->Send(kDmaRead, Bytes({0, 0}, 8), {eventfd(0, 0), eventfd(0, 0), eventfd(0, 0)}, kReply, 777);
  // Nothing more is sent: the server must not keep them until the next message.
  for (int i = 0; i < 500 && OpenFds() != before; ++i) usleep(10000);
  EXPECT_EQ(OpenFds(), before);
  EXPECT_TRUE(AwaitLog("refused a reply (id 777, DMA_READ): no request of ours waits for it"));
  c.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, ArgszFollowsTheProtocolDocument) {
  Start();
  auto c = Connect();
  // argsz below the reply: a reply cut to it whose argsz is the size needed (at least that
  // field itself), without the descriptor the flags it lost would announce.
  struct Cut {
    uint16_t cmd;
    std::vector<uint8_t> request;
    size_t got;
    uint32_t needed;
  } cuts[] = {{kGetInfo, Bytes({8, 0, 0, 0}, 4), 8, 16},
              {kRegionInfo, RegionInfo(16, AD_BAR0), 16, 32},
              {kIrqInfo, Bytes({0, 0, 1, 0}, 4), 4, 16},
              {kDmaUnmap, Cat(Bytes({12, 0}, 4), Bytes({0, 4096}, 8)), 12, 24}};
  for (const Cut& cut : cuts) {
    const Msg m = c->Call(cut.cmd, cut.request);
    EXPECT_EQ(m.flags & kError, 0u) << cut.cmd;
    ASSERT_EQ(m.data.size(), cut.got) << cut.cmd;
    EXPECT_EQ(At<uint32_t>(m.data.data()), cut.needed) << cut.cmd;
    EXPECT_EQ(c->TakeFd(), -1) << cut.cmd;
  }
  // argsz of a request is its own size: SET_IRQS and DMA_MAP refuse any other.
  const int page = MemFile("vfu-page", 8192);
  EXPECT_EQ(c->Errno(kSetIrqs, Bytes({16, 0x21, 1, 0, 1}, 4)), EINVAL);
  EXPECT_EQ(c->Errno(kSetIrqs, Bytes({24, 0x21, 1, 0, 1}, 4)), EINVAL);
  EXPECT_EQ(c->Errno(kSetIrqs, Bytes({20, 0x22, 0, 0, 1}, 4)), EINVAL);  // its bool missing
  EXPECT_EQ(c->Errno(kDmaMap, Cat(Bytes({24, 3}, 4), Bytes({0, 0x10000, 4096}, 8)), {dup(page)}),
            EINVAL);
  // A DMA_MAP off the 4 KiB pages announced (pgsizes), in its address, size or file offset.
  EXPECT_EQ(MapPage(*c, page, 0x10800, 0, 3), EINVAL);
  EXPECT_EQ(MapPage(*c, page, 0x10000, 0, 3, 2048), EINVAL);
  EXPECT_EQ(MapPage(*c, page, 0x10000, 2048, 3), EINVAL);
  EXPECT_EQ(MapPage(*c, page, 0x10000, 4096, 3), 0);
  close(page);
  c.reset();
  ExpectNextClientServed();
}

TEST_F(VfuHostile, ConnectionThatSendsNothingIsNoClient) {
  Start();
  Connect(false).reset();  // another server's probe of this one's socket
  EXPECT_TRUE(AwaitLog("a connection that sent nothing ended"));
  EXPECT_FALSE(Logged("client attached"));
  EXPECT_FALSE(Logged("client left"));
  auto c = Connect();
  EXPECT_EQ(ConfigRead(*c, 0, 4), 0x505010eeu);
  EXPECT_TRUE(Logged("client attached"));
}

// fpga-board-server itself: SIGTERM while its client blocks an interrupt's eventfd, leaves a
// DMA of the board waiting for its reply and has a message half sent.
TEST(VfuHostileServer, SigtermEndsTheServerAtOnceWhateverItsClientDoes) {
  char dir[] = "/tmp/vfu-hostile-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string sock = std::string(dir) + "/board.sock";
  const std::string arg = "--socket-path=" + sock;
  char* argv[] = {const_cast<char*>(FPGA_BOARD_SERVER_EXE), const_cast<char*>(arg.c_str()),
                  nullptr};
  const std::string log = std::string(dir) + "/server.log";
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, FPGA_BOARD_SERVER_EXE, &io, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&io);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool connected = false;
  for (int i = 0; i < 500 && !connected; ++i) {
    connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected) usleep(10000);
  }
  ASSERT_TRUE(connected);
  Client c(fd);
  c.Version();
  BusMaster(c);
  const int efd = eventfd(0, EFD_CLOEXEC);
  const uint64_t full = 0xfffffffffffffffe;
  ASSERT_EQ(write(efd, &full, 8), 8);
  ASSERT_EQ(c.Errno(kSetIrqs, Bytes({20, kSetIrqsMsiEventfd, 1, 0, 1}, 4), {dup(efd)}), 0);
  const int page = MemFile("vfu-page", 4096);
  ASSERT_EQ(c.Errno(kDmaMap, Cat(Bytes({32, 3}, 4), Bytes({0, 0x200000, 4096}, 8)), {dup(page)}),
            0);
  W32(c, INT_CTRL, INT_ENABLE);
  Channel0(c, 0x200000, 8, true);  // its completion's interrupt blocks on the full eventfd
  ASSERT_TRUE(Channel0Done(c));
  Channel0(c, 0x300000, 8, true, true);  // no mapping: a DMA_WRITE to us, never answered
  Msg m;
  ASSERT_TRUE(c.Recv(&m));
  EXPECT_EQ(m.cmd, kDmaWrite);
  const auto half = Cat(Bytes({99, 9}, 2), Bytes({32, 0, 0}, 4));
  c.Raw(half.data(), half.size(), false);
  const auto signalled = Clock::now();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = -1;
  for (int i = 0; i < 10000 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(1000);
  const auto took = Clock::now() - signalled;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // Sooner than the DMA's 2 s wait for a reply and the message's 5 s deadline could have ended
  // the waits: the stop itself ended them.
  EXPECT_LT(took, std::chrono::milliseconds(1900));
  RecordProperty(
      "stop_us",
      static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
  EXPECT_NE(access(sock.c_str(), F_OK), 0) << "the socket file was left behind";
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, &status, 0);
  if (HasFailure()) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) std::printf("%s\n", line.c_str());
  }
  close(efd);
  close(page);
  unlink(log.c_str());
  rmdir(dir);
}

}  // namespace
