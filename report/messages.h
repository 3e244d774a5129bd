// The messages the utility prints, one line each, told apart by their text alone: the log
// reader decides whether a message fits where it stands. A message that the utility prints
// after a blank line ("\nHEADING\n") is recognised as such only when a blank line came first.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/run_log.h"

namespace report {

enum class Msg {
  kUnknown,
  kBanner,  // blank first
  kLibraryOpenFailure,
  kScanFailure,
  kNoDevice,
  kInfoFailure,
  kOpenFailure,
  kCloseFailure,
  kUninitFailure,
  kBar0Heading,  // blank first
  kBar0Writing,  // blank first; phase
  kBar0Reading,  // phase, success or item and value
  kPassTitle,    // blank first; pass
  kPressAny,
  kContigLockFailure,
  kSgLockFailure,
  kIntEnableFailure,
  kSizeLine,  // number: the size
  kCountSizeMismatches,
  kCountCorrupted,
  kCountMismatched,
  kInterrupted,
  kWaitFailure,  // blank first
  kTotal,        // number: the total
  kPerfHeading,  // blank first; mode
  kWriteRate,
  kReadRate,
  kChannel1Rate,
  kChannel2Rate,
  kBackloopHeading,  // blank first; text: the buffers' size
  kMismatches,
  kBackloopRate,
};

struct Message {
  Msg kind = Msg::kUnknown;
  int index = 0;  // the BAR0 phase, the integrity pass (0 write, 1 read), the perf mode
  bool success = false;
  uint64_t number = 0;  // a size, a count, a total, a BAR0 item
  uint64_t value = 0;   // the BAR0 value read
  double rate = 0;
  std::string_view text;  // the rate or buffer size as printed
  StatusLine status;      // the failure lines' status (status.present)
};

// The message `line` (without its line end) is, given whether a blank line came before it.
Message Classify(std::string_view line, bool after_blank);

// Whether `partial`, the text after the last line end of a log, can be the start of a line the
// utility was printing when the log was cut (rather than text of another program).
bool CouldBeCutShort(std::string_view partial);

}  // namespace report
