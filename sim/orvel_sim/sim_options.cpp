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
  if (text.compare(0, delayPrefix.size(), delayPrefix) != 0) return false;
  fault.effect = sim::FaultEffect::Delay;
  return ParseInt(text.substr(delayPrefix.size()), 0, 600000, fault.delayMs);
}

// A device number for a list of devices.
bool AddDevice(const std::string& text, std::vector<int>& devices) {
  int32_t device = 0;
  if (!ParseInt(text, 0, kMaxDevices - 1, device)) return false;
  devices.push_back(device);
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

}  // namespace

bool ParseFaultSpec(const std::string& text, DeviceFault& fault) {
  const std::vector<std::string> parts = SplitColons(text);
  if (parts.size() != 4) return false;
  int32_t device = 0;
  int32_t occurrence = 0;
  if (!ParseInt(parts[0], 0, kMaxDevices - 1, device)) return false;
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
  // Each option that takes a value, and what it does with the value.
  using Setter = std::function<bool(const std::string&)>;
  const std::map<std::string, Setter> valueOptions = {
      {"--devices", [&](const std::string& v) {
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
         if (!ParseFaultSpec(v, fault)) return false;
         options.faults.push_back(fault);
         return true;
       }},
      {"--silent", [&](const std::string& v) { return AddDevice(v, options.silentDevices); }},
      {"--no-access", [&](const std::string& v) { return AddDevice(v, options.noAccessDevices); }},
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
  for (const DeviceFault& fault : options.faults) {
    if (fault.device >= options.devices) {
      error = "--fault names device " + std::to_string(fault.device) + " of " +
              std::to_string(options.devices);
      return false;
    }
  }
  const std::pair<const char*, const std::vector<int>*> deviceLists[] = {
      {"--silent", &options.silentDevices}, {"--no-access", &options.noAccessDevices}};
  for (const auto& list : deviceLists) {
    for (int device : *list.second) {
      if (device >= options.devices) {
        error = std::string(list.first) + " names device " + std::to_string(device) + " of " +
                std::to_string(options.devices);
        return false;
      }
    }
  }
  return true;
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
         "  --size 256K|512K|1M   flash size of every device (default 1M)\n"
         "  --flash FILE          device 0's flash: read before COMMAND starts (missing\n"
         "                        file: erased flash), written back after it ends\n"
         "  --trace FILE          one line per request any device receives\n"
         "  --fault DEV:KIND:N:EFFECT\n"
         "                        at the Nth request of KIND (probe, erase, start, data,\n"
         "                        read, restart) on device DEV: silent, wrong, flip,\n"
         "                        unplug or delay=MS (repeatable)\n"
         "  --silent DEV          device DEV never replies\n"
         "  --no-access DEV       opening device DEV's node fails with EACCES (permission\n"
         "                        denied), for root too (repeatable)\n"
         "  --noise N             N unsolicited input reports after each probe echo\n"
         "  --appear-after MS     attach the devices MS milliseconds after COMMAND starts\n"
         "  --latency US          hold every reply back US microseconds\n"
         "  --help                show this help\n";
}

}  // namespace orvel_sim
