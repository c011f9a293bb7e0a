// orvel-sim's command line: what it accepts and what it turns away.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvel_sim::DeviceFault;
using orvel_sim::ParseFaultSpec;
using orvel_sim::ParseSimOptions;
using orvel_sim::SimOptions;

std::vector<std::string> Words(std::initializer_list<const char*> words) {
  return std::vector<std::string>(words.begin(), words.end());
}

TEST(SimOptions, EveryOptionReachesTheSettings) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions(
      Words({"--devices", "3", "--size", "256K", "--flash", "f.bin", "--trace=t.txt", "--fault",
             "2:read:4:flip", "--fault", "0:probe:1:delay=250", "--silent", "1", "--no-access",
             "2", "--no-access=0", "--noise", "5", "--appear-after", "1500", "--latency", "125",
             "--all-cpus", "--", "orvel-dfu", "-w", "1"}),
      options, error))
      << error;
  EXPECT_EQ(options.devices, 3);
  EXPECT_EQ(options.flashSize, 256u << 10);
  EXPECT_EQ(options.flashFile, "f.bin");
  EXPECT_EQ(options.traceFile, "t.txt");
  ASSERT_EQ(options.faults.size(), 2u);
  EXPECT_EQ(options.faults[0].device, 2);
  EXPECT_EQ(options.faults[0].fault.kind, sim::RequestKind::Read);
  EXPECT_EQ(options.faults[0].fault.occurrence, 4);
  EXPECT_EQ(options.faults[0].fault.effect, sim::FaultEffect::Flip);
  EXPECT_EQ(options.faults[1].fault.effect, sim::FaultEffect::Delay);
  EXPECT_EQ(options.faults[1].fault.delayMs, 250);
  EXPECT_EQ(options.silentDevices, std::vector<int>{1});
  EXPECT_EQ(options.noAccessDevices, (std::vector<int>{2, 0}));
  EXPECT_EQ(options.noise, 5);
  EXPECT_EQ(options.appearAfterMs, 1500);
  EXPECT_EQ(options.latencyUs, 125);
  EXPECT_TRUE(options.allCpus);
  EXPECT_EQ(options.command, Words({"orvel-dfu", "-w", "1"}));
}

TEST(SimOptions, DefaultsAndACommandWithoutSeparator) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions(Words({"sh", "-c", "true"}), options, error)) << error;
  EXPECT_EQ(options.devices, 1);
  EXPECT_EQ(options.flashSize, 1u << 20);
  EXPECT_TRUE(options.flashFile.empty());
  // Words after the command's name are its own, options or not.
  EXPECT_EQ(options.command, Words({"sh", "-c", "true"}));
}

TEST(SimOptions, BadCommandLinesAreTurnedAwayWithAReason) {
  const struct {
    std::vector<std::string> words;
    const char* reason;
  } cases[] = {
      {Words({"--", }), "no command given (orvel-sim [OPTIONS] -- COMMAND [ARG...])"},
      {Words({"--devices", "10", "--", "x"}), "bad value '10' for option '--devices'"},
      {Words({"--devices", "-1", "--", "x"}), "bad value '-1' for option '--devices'"},
      {Words({"--size", "1m", "--", "x"}), "bad value '1m' for option '--size'"},
      {Words({"--noise", "2x", "--", "x"}), "bad value '2x' for option '--noise'"},
      {Words({"--latency"}), "option '--latency' needs a value"},
      {Words({"--frob", "--", "x"}), "unknown option '--frob'"},
      {Words({"--devices", "2", "--fault", "2:data:1:wrong", "--", "x"}),
       "--fault names device 2 of 2"},
      {Words({"--silent", "1", "--", "x"}), "--silent names device 1 of 1"},
      {Words({"--no-access", "9", "--", "x"}), "bad value '9' for option '--no-access'"},
      {Words({"--devices", "2", "--no-access", "2", "--", "x"}),
       "--no-access names device 2 of 2"},
      {Words({"--silent", "10", "--", "x"}), "bad value '10' for option '--silent'"},
      {Words({"--devices", "2", "--serial", "2:X", "--", "x"}), "--serial names device 2 of 2"},
      {Words({"--serial", "0", "--", "x"}), "bad value '0' for option '--serial'"},
      {Words({"--serial", "0:a/b", "--", "x"}), "bad value '0:a/b' for option '--serial'"},
      {Words({"--serial", "0:a\\b", "--", "x"}), "bad value '0:a\\b' for option '--serial'"},
      {Words({"--serial", "0:A", "--serial", "0:B", "--", "x"}), "--serial names device 0 twice"},
      {Words({"--devices", "2", "--serial", "1:ORVEL-SIM-0", "--flash-dir", "d", "--", "x"}),
       "--flash-dir: devices 0 and 1 would both be written to 'd/ORVEL-SIM-0.bin'"},
      {Words({"--conveyor", "2:2:0", "--serial", "3:board-1", "--serial", "1:", "--flash-dir",
              "d", "--", "x"}),
       "--flash-dir: boards 1 and 3 would both be written to 'd/board-1.bin'"},
      {Words({"--conveyor", "0:1:0", "--", "x"}), "bad value '0:1:0' for option '--conveyor'"},
      {Words({"--conveyor", "10:1:0", "--", "x"}), "bad value '10:1:0' for option '--conveyor'"},
      {Words({"--conveyor", "5:21:0", "--", "x"}), "bad value '5:21:0' for option '--conveyor'"},
      {Words({"--conveyor", "2:2", "--", "x"}), "bad value '2:2' for option '--conveyor'"},
      {Words({"--conveyor", "2:2:50", "--devices", "2", "--", "x"}),
       "--conveyor and --devices exclude each other"},
      {Words({"--conveyor", "2:2:0", "--fault", "4:data:1:wrong", "--", "x"}),
       "--fault names board 4 of 4"},
  };
  for (const auto& c : cases) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(c.words, options, error)) << c.reason;
    EXPECT_EQ(error, c.reason);
  }
}

TEST(SimOptions, FaultSpecifications) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"0:probe:1:silent", true},   {"8:restart:2:unplug", true}, {"0:erase:1:wrong", true},
      {"0:start:1:delay=0", true},  {"0:data:99:flip", true},     {"9:data:1:flip", false},
      {"0:data:0:flip", false},     {"0:other:1:flip", false},    {"0:data:1:slow", false},
      {"0:data:1:delay=", false},   {"0:data:1", false},          {"0:data:1:flip:x", false},
      {"x:data:1:flip", false},     {"0:DATA:1:flip", false},     {"0:data:+1:flip", false},
      {"0:read:1:flip=0", true},    {"0:read:1:flip=61", true},   {"0:read:1:flip=62", false},
      {"0:read:1:flip=", false},    {"0:read:1:flip=-1", false},
  };
  for (const auto& c : cases) {
    DeviceFault fault;
    EXPECT_EQ(ParseFaultSpec(c.text, fault), c.valid) << c.text;
  }
}

TEST(SimOptions, ConveyorBoardsAndTheirIdentities) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions(
      Words({"--conveyor", "3:4:250", "--serial", "5:ROM:1", "--serial=7:", "--fault",
             "11:read:2:flip=61", "--silent", "10", "--flash-dir", "out", "--", "station"}),
      options, error))
      << error;
  EXPECT_TRUE(options.conveyorMode);
  EXPECT_EQ(options.conveyor.ports, 3);
  EXPECT_EQ(options.conveyor.boardsPerPort, 4);
  EXPECT_EQ(options.conveyor.gapMs, 250);
  EXPECT_EQ(orvel_sim::BoardCount(options), 12);
  EXPECT_EQ(orvel_sim::PortOf(options, 5), 2);
  EXPECT_EQ(orvel_sim::PortOf(options, 9), 0);
  EXPECT_EQ(orvel_sim::SerialOf(options, 5), "ROM:1");
  EXPECT_EQ(orvel_sim::SerialOf(options, 7), "");
  EXPECT_EQ(orvel_sim::SerialOf(options, 6), "ORVEL-SIM-6");
  EXPECT_EQ(orvel_sim::FlashDirFile(options, 5), "out/ROM:1.bin");
  EXPECT_EQ(orvel_sim::FlashDirFile(options, 7), "out/board-7.bin");
  ASSERT_EQ(options.faults.size(), 1u);
  EXPECT_EQ(options.faults[0].device, 11);
  EXPECT_EQ(options.faults[0].fault.effect, sim::FaultEffect::Flip);
  EXPECT_EQ(options.faults[0].fault.flipByte, 61);
  EXPECT_EQ(options.silentDevices, std::vector<int>{10});
  // Outside conveyor mode a device sits on the port of its number.
  options.conveyorMode = false;
  options.devices = 9;
  EXPECT_EQ(orvel_sim::PortOf(options, 5), 5);
}

}  // namespace
