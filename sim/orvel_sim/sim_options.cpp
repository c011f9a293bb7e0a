#include "sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace orvel_sim {

namespace {

// A decimal number in [low, high]; no sign, no spaces, nothing after it.
bool ParseBounded(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  value = std::strtol(text.c_str(), nullptr, 10);
  return errno == 0 && value >= low && value <= high;
}

bool ParseInt(const std::string& text, long low, long high, int32_t& out) {
  long value = 0;
  if (!ParseBounded(text, low, high, value)) return false;
  out = static_cast<int32_t>(value);
  return true;
}

// The value a word names in a fixed table; false for a word not in it.
template <typename Value>
bool LookUp(const std::map<std::string, Value>& table, const std::string& word, Value& value) {
  const auto found = table.find(word);
  if (found == table.end()) return false;
  value = found->second;
  return true;
}

bool ParseFlashSize(const std::string& text, uint32_t& size) {
  static const std::map<std::string, uint32_t> kSizes = {
      {"256K", 256u << 10}, {"512K", 512u << 10}, {"1M", 1u << 20}};
  return LookUp(kSizes, text, size);
}

bool ParseKind(const std::string& text, sim::RequestKind& kind) {
  static const std::map<std::string, sim::RequestKind> kKinds = {
      {"probe", sim::RequestKind::Probe}, {"erase", sim::RequestKind::Erase},
      {"start", sim::RequestKind::Start}, {"data", sim::RequestKind::Data},
      {"read", sim::RequestKind::Read},   {"restart", sim::RequestKind::Restart}};
  return LookUp(kKinds, text, kind);
}

bool ParseEffect(const std::string& text, sim::Fault& fault) {
  static const std::map<std::string, sim::FaultEffect> kEffects = {
      {"silent", sim::FaultEffect::Silent}, {"wrong", sim::FaultEffect::Wrong},
      {"flip", sim::FaultEffect::Flip}, {"unplug", sim::FaultEffect::Unplug}};
  if (LookUp(kEffects, text, fault.effect)) return true;
  const std::string delayPrefix = "delay=";
  const std::string flipPrefix = "flip=";
  if (text.compare(0, delayPrefix.size(), delayPrefix) == 0) {
    fault.effect = sim::FaultEffect::Delay;
    return ParseInt(text.substr(delayPrefix.size()), 0, 600000, fault.delayMs);
  }
  if (text.compare(0, flipPrefix.size(), flipPrefix) == 0) {
    fault.effect = sim::FaultEffect::Flip;
    return ParseInt(text.substr(flipPrefix.size()), 0, sim::kMaxFlipByte, fault.flipByte);
  }
  return false;
}

// A device or board number for a list of them.
bool AddDevice(const std::string& text, std::vector<int>& devices) {
  int32_t device = 0;
  if (!ParseInt(text, 0, kMaxBoards - 1, device)) return false;
  devices.push_back(device);
  return true;
}

// A serial number that sysfs, hidapi and a file name all keep as it is:
// printable ASCII without '/' or '\\', as long as a USB string may be.
bool ValidSerial(const std::string& text) {
  if (text.size() > 126) return false;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E || c == '/' || c == '\\') return false;
  }
  return true;
}

// DEV:TEXT; TEXT may be empty (no serial number) and may hold colons.
bool AddSerial(const std::string& text, std::vector<std::pair<int, std::string>>& serials) {
  const size_t colon = text.find(':');
  int32_t device = 0;
  if (colon == std::string::npos || !ParseInt(text.substr(0, colon), 0, kMaxBoards - 1, device)) {
    return false;
  }
  const std::string serial = text.substr(colon + 1);
  if (!ValidSerial(serial)) return false;
  serials.emplace_back(device, serial);
  return true;
}

std::vector<std::string> SplitColons(const std::string& text) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t colon = text.find(':', begin);
    parts.push_back(text.substr(begin, colon - begin));
    if (colon == std::string::npos) return parts;
    begin = colon + 1;
  }
}

bool ParseConveyor(const std::string& text, Conveyor& conveyor) {
  const std::vector<std::string> parts = SplitColons(text);
  return parts.size() == 3 && ParseInt(parts[0], 1, kMaxDevices, conveyor.ports) &&
         ParseInt(parts[1], 1, kMaxBoards, conveyor.boardsPerPort) &&
         conveyor.ports * conveyor.boardsPerPort <= kMaxBoards &&
         ParseInt(parts[2], 0, 3600000, conveyor.gapMs);
}

}  // namespace

int BoardCount(const SimOptions& options) {
  if (!options.conveyorMode) return options.devices;
  return options.conveyor.ports * options.conveyor.boardsPerPort;
}

int PortOf(const SimOptions& options, int board) {
  return options.conveyorMode ? board % options.conveyor.ports : board;
}

std::string SerialOf(const SimOptions& options, int board) {
  for (const auto& serial : options.serials) {
    if (serial.first == board) return serial.second;
  }
  return "ORVEL-SIM-" + std::to_string(board);
}

std::string FlashDirFile(const SimOptions& options, int board) {
  const std::string serial = SerialOf(options, board);
  const std::string name = serial.empty() ? "board-" + std::to_string(board) : serial;
  return options.flashDir + "/" + name + ".bin";
}

namespace {

// What names a device (or board) on the command line, for the checks once
// every option is known.
struct DeviceMention {
  std::string option;
  std::string value;
  int device;
};

// Device numbers beyond the devices (or boards) there are. Outside conveyor
// mode a number past 8 is a bad value, as it always was.
bool CheckMentions(const SimOptions& options, const std::vector<DeviceMention>& mentions,
                   std::string& error) {
  const int count = BoardCount(options);
  const std::string unit = options.conveyorMode ? "board" : "device";
  for (const DeviceMention& mention : mentions) {
    if (!options.conveyorMode && mention.device >= kMaxDevices) {
      error = "bad value '" + mention.value + "' for option '" + mention.option + "'";
      return false;
    }
    if (mention.device >= count) {
      error = mention.option + " names " + unit + " " + std::to_string(mention.device) + " of " +
              std::to_string(count);
      return false;
    }
  }
  return true;
}

bool CheckCombinations(const SimOptions& options, bool devicesGiven, std::string& error) {
  if (options.conveyorMode && devicesGiven) {
    error = "--conveyor and --devices exclude each other";
    return false;
  }
  const std::string unit = options.conveyorMode ? "board " : "device ";
  for (size_t i = 0; i < options.serials.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (options.serials[i].first == options.serials[j].first) {
        error = "--serial names " + unit + std::to_string(options.serials[i].first) + " twice";
        return false;
      }
    }
  }
  if (options.flashDir.empty()) return true;
  // Boards that share a serial number would overwrite each other's file.
  std::map<std::string, int> firstBoardOf;
  for (int board = 0; board < BoardCount(options); ++board) {
    const std::string file = FlashDirFile(options, board);
    const auto [first, isNew] = firstBoardOf.emplace(file, board);
    if (isNew) continue;
    error = "--flash-dir: " + (options.conveyorMode ? std::string("boards ") : "devices ") +
            std::to_string(first->second) + " and " + std::to_string(board) + " would both be written to '" + file +
            "'";
    return false;
  }
  return true;
}

}  // namespace

bool ParseFaultSpec(const std::string& text, DeviceFault& fault, int highestDevice) {
  const std::vector<std::string> parts = SplitColons(text);
  if (parts.size() != 4) return false;
  int32_t device = 0;
  int32_t occurrence = 0;
  if (!ParseInt(parts[0], 0, highestDevice, device)) return false;
  if (!ParseKind(parts[1], fault.fault.kind)) return false;
  if (!ParseInt(parts[2], 1, 1000000000, occurrence)) return false;
  if (!ParseEffect(parts[3], fault.fault)) return false;
  fault.device = device;
  fault.fault.occurrence = occurrence;
  return true;
}

bool ParseSimOptions(const std::vector<std::string>& words, SimOptions& options,
                     std::string& error) {
  options = SimOptions{};
  bool devicesGiven = false;
  std::vector<DeviceMention> mentions;
  // Each option that takes a value, and what it does with the value.
  using Setter = std::function<bool(const std::string&)>;
  const std::map<std::string, Setter> valueOptions = {
      {"--devices", [&](const std::string& v) {
         devicesGiven = true;
         return ParseInt(v, 0, kMaxDevices, options.devices);
       }},
      {"--size", [&](const std::string& v) { return ParseFlashSize(v, options.flashSize); }},
      {"--flash", [&](const std::string& v) {
         options.flashFile = v;
         return !v.empty();
       }},
      {"--trace", [&](const std::string& v) {
         options.traceFile = v;
         return !v.empty();
       }},
      {"--fault", [&](const std::string& v) {
         DeviceFault fault;
         if (!ParseFaultSpec(v, fault, kMaxBoards - 1)) return false;
         options.faults.push_back(fault);
         mentions.push_back({"--fault", v, fault.device});
         return true;
       }},
      {"--silent", [&](const std::string& v) {
         if (!AddDevice(v, options.silentDevices)) return false;
         mentions.push_back({"--silent", v, options.silentDevices.back()});
         return true;
       }},
      {"--no-access", [&](const std::string& v) {
         if (!AddDevice(v, options.noAccessDevices)) return false;
         mentions.push_back({"--no-access", v, options.noAccessDevices.back()});
         return true;
       }},
      {"--serial", [&](const std::string& v) {
         if (!AddSerial(v, options.serials)) return false;
         mentions.push_back({"--serial", v, options.serials.back().first});
         return true;
       }},
      {"--conveyor", [&](const std::string& v) {
         options.conveyorMode = true;
         return ParseConveyor(v, options.conveyor);
       }},
      {"--flash-dir", [&](const std::string& v) {
         options.flashDir = v;
         return !v.empty();
       }},
      {"--noise", [&](const std::string& v) { return ParseInt(v, 0, 200, options.noise); }},
      {"--appear-after", [&](const std::string& v) {
         return ParseInt(v, 0, 3600000, options.appearAfterMs);
       }},
      {"--latency", [&](const std::string& v) {
         return ParseInt(v, 0, 10000000, options.latencyUs);
       }},
  };

  size_t index = 0;
  for (; index < words.size(); ++index) {
    const std::string& word = words[index];
    if (word == "--") {
      ++index;
      break;
    }
    if (word == "--help" || word == "-h") {
      options.help = true;
      return true;
    }
    if (word == "--all-cpus") {
      options.allCpus = true;
      continue;
    }
    if (word.empty() || word[0] != '-') break;  // the command starts here
    std::string name = word;
    std::string value;
    bool haveValue = false;
    const size_t equals = word.find('=');
    if (equals != std::string::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
      haveValue = true;
    }
    const auto option = valueOptions.find(name);
    if (option == valueOptions.end()) {
      error = "unknown option '" + word + "'";
      return false;
    }
    if (!haveValue) {
      if (index + 1 >= words.size()) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      value = words[++index];
    }
    if (!option->second(value)) {
      error = "bad value '" + value + "' for option '" + name + "'";
      return false;
    }
  }
  options.command.assign(words.begin() + static_cast<std::ptrdiff_t>(index), words.end());
  if (options.command.empty()) {
    error = "no command given (orvel-sim [OPTIONS] -- COMMAND [ARG...])";
    return false;
  }
  return CheckMentions(options, mentions, error) &&
         CheckCombinations(options, devicesGiven, error);
}

const char* SimUsage() {
  return "Usage: orvel-sim [OPTIONS] -- COMMAND [ARG...]\n"
         "Runs COMMAND while virtual Orvel ROM bootloaders are attached as hidraw\n"
         "devices (product ID 0xC081), and exits with COMMAND's exit status\n"
         "(125 when orvel-sim itself fails). Each run has hidraw nodes of its own, so\n"
         "runs side by side never meet on a device.\n"
         "\n"
         "Options:\n"
         "  --devices N           number of virtual bootloaders, 0 to 9 (default 1)\n"
         "  --conveyor K:N:GAP_MS boards arriving: N boards in turn on each of K ports\n"
         "                        (1 to 9 ports, at most 100 boards), board B on port\n"
         "                        B mod K; the next board attaches GAP_MS after the one\n"
         "                        before it left (restarted, or taken away once unused\n"
         "                        for max(GAP_MS, 1000) ms); DEV below is a board\n"
         "  --size 256K|512K|1M   flash size of every device (default 1M)\n"
         "  --flash FILE          device 0's flash: read before COMMAND starts (missing\n"
         "                        file: erased flash), written back after it ends\n"
         "  --flash-dir DIR       every device's flash, written to DIR/<serial>.bin when\n"
         "                        it leaves and when COMMAND ends\n"
         "  --trace FILE          one line per request any device receives\n"
         "  --fault DEV:KIND:N:EFFECT\n"
         "                        at the Nth request of KIND (probe, erase, start, data,\n"
         "                        read, restart) on device DEV: silent, wrong, flip,\n"
         "                        flip=BYTE (0 to 61), unplug or delay=MS (repeatable)\n"
         "  --serial DEV:TEXT     device DEV reports serial number TEXT (empty: none)\n"
         "                        instead of ORVEL-SIM-<DEV> (repeatable)\n"
         "  --silent DEV          device DEV never replies\n"
         "  --no-access DEV       opening device DEV's node fails with EACCES (permission\n"
         "                        denied), for root too (repeatable)\n"
         "  --noise N             N unsolicited input reports after each probe echo\n"
         "  --appear-after MS     attach the devices MS milliseconds after COMMAND starts\n"
         "  --latency US          hold every reply back US microseconds\n"
         "  --all-cpus            run the devices and COMMAND on every CPU; by default\n"
         "                        they share the CPU orvel-sim starts on, where an\n"
         "                        exchange takes a fraction of the time\n"
         "  --help                show this help\n";
}

}  // namespace orvel_sim
