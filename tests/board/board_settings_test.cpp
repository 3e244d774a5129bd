// The FPGA_SIM parser: what it accepts, what it refuses, and that a refusal names the item.
#include <gtest/gtest.h>

#include <string>

#include "settings.h"
#include "wdc/backend.h"

namespace {

using sim::ParseSettings;
using sim::Settings;

TEST(BoardSettings, UnsetOrEmptyGivesOneHealthyGen2x4Board) {
  for (const char* text : {static_cast<const char*>(nullptr), ""}) {
    Settings s;
    s.boards = 7;  // must be overwritten
    std::string error;
    ASSERT_TRUE(ParseSettings(text, &s, &error));
    EXPECT_EQ(s.boards, 1u);
    EXPECT_TRUE(s.fail_rules.empty());
    EXPECT_TRUE(s.sleep_enabled);
    EXPECT_EQ(s.link_gen, 2u);
    EXPECT_EQ(s.link_width, 4u);
    EXPECT_EQ(s.link_max_gen, 2u);
    EXPECT_EQ(s.link_max_width, 4u);
    EXPECT_TRUE(s.aer.empty());
    EXPECT_EQ(s.misalign, 0u);
    EXPECT_FALSE(s.high_bus);
    EXPECT_FALSE(s.sg_swap);
  }
}

TEST(BoardSettings, EveryItemKindIsUnderstood) {
  Settings s;
  std::string error;
  ASSERT_TRUE(ParseSettings(
      "boards=3,fail=WDC_PciDeviceOpen,fail=WDC_DMAContigBufLock@2,bar0-stuck=0x1F:3:1,"
      "bar0-stuck=4095:7:0,pause=off,misalign=4095,high-bus=1,link=gen3x16,irq-drop=ch0@5,"
      "irq-drop=backloop@1,irq-drop=ch0@9,dma-shift=-4096,wordcount-bad=7,sg-swap=12:3,"
      "dma-stray=4096,link-max=gen3x16,aer=bad-tlp:backloop@1,aer=unsupported-request:ch0@7",
      &s, &error))
      << error;
  EXPECT_EQ(s.boards, 3u);
  EXPECT_EQ(s.dma_stray, 4096u);
  ASSERT_EQ(s.fail_rules.size(), 2u);
  EXPECT_EQ(s.fail_rules[0].op, wdc::Op::PciDeviceOpen);
  EXPECT_EQ(s.fail_rules[0].nth, 1u);
  EXPECT_EQ(s.fail_rules[1].op, wdc::Op::DMAContigBufLock);
  EXPECT_EQ(s.fail_rules[1].nth, 2u);
  ASSERT_EQ(s.stuck_bits.size(), 2u);
  EXPECT_EQ(s.stuck_bits[0].offset, 0x1Fu);
  EXPECT_EQ(s.stuck_bits[0].bit, 3u);
  EXPECT_EQ(s.stuck_bits[0].level, 1u);
  EXPECT_EQ(s.stuck_bits[1].offset, 4095u);
  EXPECT_FALSE(s.sleep_enabled);
  EXPECT_EQ(s.misalign, 4095u);
  EXPECT_TRUE(s.high_bus);
  EXPECT_EQ(s.link_gen, 3u);
  EXPECT_EQ(s.link_width, 16u);
  EXPECT_EQ(s.link_max_gen, 3u);
  EXPECT_EQ(s.link_max_width, 16u);
  ASSERT_EQ(s.aer.size(), 2u);
  EXPECT_TRUE(s.aer[0].backloop && s.aer[0].n == 1 && !s.aer[0].uncorrectable && s.aer[0].bit == 6);
  EXPECT_TRUE(!s.aer[1].backloop && s.aer[1].n == 7 && s.aer[1].uncorrectable &&
              s.aer[1].bit == 20 && s.aer[1].logs_header);
  EXPECT_EQ(s.irq_drop_ch0, (std::vector<uint32_t>{5, 9}));
  EXPECT_EQ(s.irq_drop_backloop, (std::vector<uint32_t>{1}));
  EXPECT_EQ(s.dma_shift, -4096);
  EXPECT_EQ(s.wordcount_bad, 7u);
  EXPECT_TRUE(s.sg_swap);
  EXPECT_EQ(s.swap_i, 12u);
  EXPECT_EQ(s.swap_j, 3u);
}

TEST(BoardSettings, EdgesOfTheRangesAreAccepted) {
  const char* ok[] = {"boards=0",     "pause=on",       "misalign=1",     "high-bus=0",
                      "link=gen1x1",  "link=gen2x2",    "link=gen1x8",    "dma-shift=4096",
                      "dma-shift=+3", "dma-shift=0",    "wordcount-bad=1", "fail=WDC_Sleep@4294967295",
                      "bar0-stuck=0:0:0", "bar0-stuck=0xfff:0:1", "sg-swap=0:1",
                      "link-max=gen2x4", "link=gen1x1,link-max=gen1x1",
                      "aer=receiver-error:backloop@4294967295"};
  for (const char* text : ok) {
    Settings s;
    std::string error;
    EXPECT_TRUE(ParseSettings(text, &s, &error)) << text << ": " << error;
  }
  // Without link, the link trains as far as its maximum allows.
  Settings s;
  std::string error;
  ASSERT_TRUE(ParseSettings("link-max=gen3x2", &s, &error)) << error;
  EXPECT_EQ(s.link_gen * 100 + s.link_width, 202u);
}

struct Refusal {
  const char* text;
  const char* item;  // the item the error must quote
};

TEST(BoardSettings, BadItemsAreRefusedNamingTheItem) {
  const Refusal refusals[] = {
      {"boards=4", "boards=4"},
      {"boards=", "boards="},
      {"boards=1x", "boards=1x"},
      {"boards=-1", "boards=-1"},
      {"boards= 1", "boards= 1"},
      {"boards=99999999999999999999999", "boards=99999999999999999999999"},
      {"boards=1,boards=2", "boards=2"},
      {"fail=WDC_IntIsEnabled", "fail=WDC_IntIsEnabled"},
      {"fail=Stat2Str", "fail=Stat2Str"},
      {"fail=WDC_Nothing", "fail=WDC_Nothing"},
      {"fail=wdc_sleep", "fail=wdc_sleep"},
      {"fail=WDC_Sleep@0", "fail=WDC_Sleep@0"},
      {"fail=WDC_Sleep@", "fail=WDC_Sleep@"},
      {"fail=WDC_Sleep@4294967296", "fail=WDC_Sleep@4294967296"},
      {"fail=WDC_Sleep@2,fail=WDC_Sleep@2", "fail=WDC_Sleep@2"},
      {"bar0-stuck=4096:0:1", "bar0-stuck=4096:0:1"},
      {"bar0-stuck=0x1000:0:1", "bar0-stuck=0x1000:0:1"},
      {"bar0-stuck=0x:0:1", "bar0-stuck=0x:0:1"},
      {"bar0-stuck=0:8:1", "bar0-stuck=0:8:1"},
      {"bar0-stuck=0:0:2", "bar0-stuck=0:0:2"},
      {"bar0-stuck=0:0", "bar0-stuck=0:0"},
      {"bar0-stuck=0:0:1:1", "bar0-stuck=0:0:1:1"},
      {"bar0-stuck=5:1:1,bar0-stuck=5:1:0", "bar0-stuck=5:1:0"},
      {"pause=maybe", "pause=maybe"},
      {"pause=off,pause=on", "pause=on"},
      {"misalign=0", "misalign=0"},
      {"misalign=4096", "misalign=4096"},
      {"high-bus=2", "high-bus=2"},
      {"link=gen4x4", "link=gen4x4"},
      {"link=gen0x4", "link=gen0x4"},
      {"link=gen2x3", "link=gen2x3"},
      {"link=gen2x32", "link=gen2x32"},
      {"link=gen2x", "link=gen2x"},
      {"link=2x4", "link=2x4"},
      {"link-max=gen4x4", "link-max=gen4x4"},
      {"link-max=gen3x8,link-max=gen3x8", "link-max=gen3x8"},
      // The link above its maximum, in speed or in width: the later item is named.
      {"link=gen3x8,link-max=gen2x8", "link-max=gen2x8"},
      {"link-max=gen3x8,link=gen3x16", "link=gen3x16"},
      {"aer=bad-tlp", "aer=bad-tlp"},
      {"aer=bad-tlp:ch1@1", "aer=bad-tlp:ch1@1"},
      {"aer=bad-tlp:ch0@0", "aer=bad-tlp:ch0@0"},
      {"aer=bad-tlps:ch0@1", "aer=bad-tlps:ch0@1"},
      {"aer=bad-tlp:ch0@1,aer=bad-tlp:ch0@1", "aer=bad-tlp:ch0@1"},
      {"irq-drop=ch1@1", "irq-drop=ch1@1"},
      {"irq-drop=ch0@0", "irq-drop=ch0@0"},
      {"irq-drop=ch0", "irq-drop=ch0"},
      {"irq-drop=backloop@1,irq-drop=backloop@1", "irq-drop=backloop@1"},
      {"dma-shift=4097", "dma-shift=4097"},
      {"dma-shift=-4097", "dma-shift=-4097"},
      {"dma-shift=-", "dma-shift=-"},
      {"dma-shift=1.5", "dma-shift=1.5"},
      {"wordcount-bad=0", "wordcount-bad=0"},
      {"dma-stray=0", "dma-stray=0"},
      {"dma-stray=1,dma-stray=2", "dma-stray=2"},
      {"sg-swap=3:3", "sg-swap=3:3"},
      {"sg-swap=3", "sg-swap=3"},
      {"sg-swap=3:", "sg-swap=3:"},
      {"fault-board=0", "fault-board=0"},
      {"boards=3,fault-board=4", "fault-board=4"},
      {"fault-board=2", "fault-board=2"},           // one board by default: there is no board 2
      {"fault-board=2,boards=3", "fault-board=2"},  // boards= comes first
      {"colour=blue", "colour=blue"},
      {"boards", "boards"},
      {"pause=off,,boards=1", ""},
      {"boards=1,", ""},
  };
  for (const Refusal& r : refusals) {
    std::string error;
    EXPECT_EQ(sim::CreateSimBackend(r.text, &error), nullptr) << r.text;
    EXPECT_EQ(error.rfind(std::string("bad FPGA_SIM item '") + r.item + "': ", 0), 0u)
        << r.text << " gave: " << error;
  }
}

TEST(BoardSettings, ErrorSaysWhatIsWrong) {
  std::string error;
  EXPECT_EQ(sim::CreateSimBackend("pause=off,boards=9", &error), nullptr);
  EXPECT_EQ(error, "bad FPGA_SIM item 'boards=9': boards must be 0 to 3");
}

TEST(BoardSettings, BackendCarriesBoardsFailuresAndSleep) {
  std::string error;
  auto backend = sim::CreateSimBackend("boards=2,fail=WDC_IntEnable@3,pause=off", &error);
  ASSERT_NE(backend, nullptr) << error;
  EXPECT_EQ(backend->BoardCount(), 2u);
  EXPECT_EQ(backend->BoardAt(2), nullptr);
  EXPECT_FALSE(backend->SleepEnabled());
  ASSERT_EQ(backend->FailRules().size(), 1u);
  EXPECT_EQ(backend->FailRules()[0].op, wdc::Op::IntEnable);
  EXPECT_EQ(backend->FailRules()[0].nth, 3u);

  auto none = sim::CreateSimBackend("boards=0", &error);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->BoardCount(), 0u);
  EXPECT_TRUE(sim::CreateSimBackend(nullptr, &error)->SleepEnabled());
}

TEST(BoardSettings, FaultBoardGivesTheBoardFaultsToThatBoardAlone) {
  Settings machine;
  std::string error;
  ASSERT_TRUE(
      ParseSettings("boards=3,fault-board=2,bar0-stuck=6:0:1,irq-drop=ch0@1,"
                    "irq-drop=backloop@2,dma-shift=3,dma-stray=9,wordcount-bad=5,"
                    "sg-swap=1:2,link=gen3x8,fail=WDC_IntEnable,pause=off",
                    &machine, &error))
      << error;
  for (uint32_t i = 0; i < 3; ++i) {
    const Settings s = sim::BoardSettings(machine, i);
    const bool faulty = i == 1;
    EXPECT_EQ(s.stuck_bits.size(), faulty ? 1u : 0u) << i;
    EXPECT_EQ(s.irq_drop_ch0.size(), faulty ? 1u : 0u) << i;
    EXPECT_EQ(s.irq_drop_backloop.size(), faulty ? 1u : 0u) << i;
    EXPECT_EQ(s.dma_shift, faulty ? 3 : 0) << i;
    EXPECT_EQ(s.dma_stray, faulty ? 9u : 0u) << i;
    EXPECT_EQ(s.wordcount_bad, faulty ? 5u : 0u) << i;
    EXPECT_EQ(s.sg_swap, faulty) << i;
    // The machine's own settings stay with every board.
    EXPECT_EQ(s.link_gen, 3u);
    EXPECT_EQ(s.link_width, 8u);
    EXPECT_EQ(s.fail_rules.size(), 1u);
    EXPECT_FALSE(s.sleep_enabled);
  }
  // Without the item every board has the faults.
  ASSERT_TRUE(ParseSettings("boards=2,dma-shift=3", &machine, &error));
  EXPECT_EQ(sim::BoardSettings(machine, 1).dma_shift, 3);
}

}  // namespace
