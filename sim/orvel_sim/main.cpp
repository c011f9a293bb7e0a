// orvel-sim: runs a command while virtual Orvel ROM bootloaders sit on
// emulated hidraw nodes, so the real tool can flash them through hidapi.
#include <sched.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim_options.h"
#include "sim_run.h"

namespace {

// Every exchange wakes the command and orvel-sim's threads in turn, several
// times; between two CPUs each wake-up costs more than the work it wakes
// for (the more so where an idle CPU sleeps, as in a virtual machine). On
// the one CPU it starts on, orvel-sim and the command (which inherits the
// affinity) hand over to each other at once. Before any thread starts, so
// that every one inherits it.
void KeepToThisCpu() {
  const int cpu = sched_getcpu();
  if (cpu < 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  sched_setaffinity(0, sizeof one, &one);
}

}  // namespace

int main(int argc, char** argv) {
  platform::OpenClosedStandardStreams();  // no device's socket may take a closed one's place
  const std::vector<std::string> words(argv + 1, argv + argc);
  orvel_sim::SimOptions options;
  std::string error;
  if (!orvel_sim::ParseSimOptions(words, options, error)) {
    std::fprintf(stderr, "orvel-sim: %s\nTry 'orvel-sim --help'.\n", error.c_str());
    return orvel_sim::kSetupFailure;
  }
  if (options.help) {
    std::fputs(orvel_sim::SimUsage(), stdout);
    return 0;
  }
  if (!options.allCpus) KeepToThisCpu();
  orvel_sim::SimRun run(options);
  return run.Run();
}
