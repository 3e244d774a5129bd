// The BAR0 slave memory test against a board with one stuck bit: the exact failure line of each
// width, with item index and value worked out by hand from the pattern each phase writes (item
// i holds i; bytes hold i mod 256; words are little-endian, so byte offset o is byte o mod w of
// item o / w).
//
// The key stops the integrity pass at its first size: the stuck bit lies in the DMA source too,
// and only the BAR0 test's lines are under test here.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

void ExpectRun(const std::string& setting, const std::string& bar0) {
  RunResult r = RunProgram(Utility(setting, {KeyAtFirstSize()}));
  // The backloop does not touch BAR0, so its mismatch count stays 0.
  E2E_EXPECT_VERDICT(
      CheckRun(r, UntilIntegrity(bar0) + SizeLine(4096) + Interrupted() + AfterIntegrity()));
  EXPECT_JUDGED(r, Bar0Expectations(bar0));
}

TEST(E2eBar0Stuck, Byte6Bit0StuckHigh) {
  ExpectRun("bar0-stuck=6:0:1",
            Bar0Test(
                // bytes: item 6 holds 6 = 0b110; bit 0 set reads 0b111.
                Bar0Failure(6, 7),
                // uint16: offset 6 is the low byte of item 3 = 0x0003, whose bit 0 is already 1.
                Bar0Success(),
                // uint32: offset 6 is byte 2 of item 1 = 0x00000001; reads 0x00010001 = 65537.
                Bar0Failure(1, 65537),
                // uint64: offset 6 is byte 6 of item 0 = 0; reads 0x0001000000000000 = 2^48.
                Bar0Failure(0, 281474976710656ull)));
}

TEST(E2eBar0Stuck, Byte6Bit1StuckLow) {
  ExpectRun("bar0-stuck=6:1:0",
            Bar0Test(
                // bytes: item 6 = 0b110 with bit 1 cleared reads 0b100 = 4.
                Bar0Failure(6, 4),
                // uint16: item 3 = 0x0003, low byte at offset 6 loses bit 1: 0x0001.
                Bar0Failure(3, 1),
                // uint32: item 1 = 0x00000001, byte 2 (offset 6) is 0: bit 1 is already 0.
                Bar0Success(),
                // uint64: item 0 = 0, byte 6 is 0.
                Bar0Success()));
}

TEST(E2eBar0Stuck, HexOffset0x400Bit0StuckHighFailsEveryWidth) {
  ExpectRun("bar0-stuck=0x400:0:1",
            Bar0Test(
                // bytes: item 1024 holds 1024 mod 256 = 0; reads 1.
                Bar0Failure(1024, 1),
                // uint16: offset 1024 is the low byte of item 512 = 0x0200; reads 0x0201 = 513.
                Bar0Failure(512, 513),
                // uint32: low byte of item 256 = 0x00000100; reads 0x101 = 257.
                Bar0Failure(256, 257),
                // uint64: low byte of item 128 = 0x80; reads 0x81 = 129.
                Bar0Failure(128, 129)));
}

TEST(E2eBar0Stuck, LastByteBit7StuckHigh) {
  ExpectRun("bar0-stuck=4095:7:1",
            Bar0Test(
                // bytes: item 4095 holds 4095 mod 256 = 0xFF: bit 7 is already 1.
                Bar0Success(),
                // uint16: offset 4095 is the high byte of item 2047 = 0x07FF; reads 0x87FF = 34815.
                Bar0Failure(2047, 34815),
                // uint32: the top byte of item 1023 = 0x000003FF; reads 0x800003FF = 2147484671.
                Bar0Failure(1023, 2147484671u),
                // uint64: the top byte of item 511 = 0x1FF; reads 2^63 + 511, the high half shown.
                Bar0Failure(511, 9223372036854776319ull)));
}

TEST(E2eBar0Stuck, TwoStuckBitsOnlyTheFirstMismatchOfAPhaseIsReported) {
  // Bits in bytes 1 and 9: the bytes phase reports item 1 only (1 | 0x80 = 129), never item 9.
  ExpectRun("bar0-stuck=1:7:1,bar0-stuck=9:7:1",
            Bar0Test(Bar0Failure(1, 129),
                     // uint16: high byte of item 0 = 0: 0x8000 = 32768.
                     Bar0Failure(0, 32768),
                     // uint32: byte 1 of item 0: 0x00008000 = 32768.
                     Bar0Failure(0, 32768),
                     // uint64: byte 1 of item 0: 0x8000 = 32768.
                     Bar0Failure(0, 32768)));
}

}  // namespace
}  // namespace e2e
