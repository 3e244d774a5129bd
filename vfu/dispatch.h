// One connection's commands: each is checked field by field against what the function and the
// protocol allow, then carried out, then answered (unless posted with NO_REPLY). A refused
// command gets an error reply with its errno and a log line; the connection goes on.
#pragma once

#include <string>
#include <vector>

#include "channel.h"
#include "dma_table.h"
#include "interrupts.h"
#include "log.h"
#include "transport.h"
#include "version.h"
#include "vfu/config_space.h"
#include "vfu/device.h"

namespace vfu {

class Session {
 public:
  Session(Device& device, const PciFunction& fn, ConfigSpace& config, DmaTable& dma,
          Interrupts& irq, Channel& channel, Log& log);

  // Every descriptor of `m` is closed by the time this returns, unless a command kept it.
  void Handle(Message& m);

 private:
  int Dispatch(Message& m, std::string* why);
  int Version(const Message& m, std::string* why);
  int GetInfo(const Message& m, std::string* why);
  int GetRegionInfo(const Message& m, std::string* why);
  int GetIrqInfo(const Message& m, std::string* why);
  int SetIrqs(Message& m, std::string* why);
  int RegionAccess(const Message& m, bool write, std::string* why);
  int DmaMap(Message& m, std::string* why);
  int DmaUnmap(const Message& m, std::string* why);
  // DEVICE_RESET, or a function-level reset (`why` names which, for the log): the function,
  // then its configuration space, then what follows from the command register.
  int Reset(const char* why);
  // Cuts the reply to the client's argsz; true when it was cut.
  bool FitReply(uint32_t argsz);
  // After a change of the command register: bus mastering and INTx DISABLE take effect.
  void ApplyCommand();

  Device& device_;
  const PciFunction& fn_;
  ConfigSpace& config_;
  DmaTable& dma_;
  Interrupts& irq_;
  Channel& channel_;
  Log& log_;
  bool versioned_ = false;
  ClientCaps caps_;
  std::vector<uint8_t> reply_;
  int reply_fd_ = -1;  // the device's, sent with the reply, never closed here
};

}  // namespace vfu
