// The whole activity log of one complete two-step disinfection on XP, byte for byte.
// DRAVLIN_UPDATE_GOLDEN=1 writes the file from a run instead of comparing; read it line by line
// before keeping it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "scenario.h"

namespace dravlin::scenario {
namespace {

TEST(GoldenLog, CompleteXpDisinfection) {
  Scenario s;
  auto& m = s.machine();
  InfectXp(m);
  ArrangeBrowser(m, kXpDll);
  s.Start().Click(Control::CB_start);
  m.AdvanceClock(75);  // the restart takes its time
  auto& second = s.RebootIntoProgram();
  m.AdvanceClock(20);  // the user reads the window before clicking
  second.Click(Control::CB_start);
  second.Click(Control::Command2);
  const auto log = m.ReadFile(kLogPath);
  ASSERT_TRUE(log.has_value());

  const std::string golden = std::string(DRAVLIN_GOLDEN_DIR) + "/xp_two_step.log";
  if (std::getenv("DRAVLIN_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << *log;
    GTEST_SKIP() << "wrote " << golden;
  }
  std::ifstream in(golden, std::ios::binary);
  ASSERT_TRUE(in) << golden;
  const std::string expected{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(*log, expected);
}

}  // namespace
}  // namespace dravlin::scenario
