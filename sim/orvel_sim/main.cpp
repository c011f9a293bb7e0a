// orvel-sim: runs a command while virtual Orvel ROM bootloaders sit on
// emulated hidraw nodes, so the real tool can flash them through hidapi.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim_options.h"
#include "sim_run.h"

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
  orvel_sim::SimRun run(options);
  return run.Run();
}
