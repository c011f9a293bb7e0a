// The command that runs while the virtual devices are attached.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvel_sim {

// The environment of the child: ours, plus what umockdev's preload library
// needs to show it the testbed instead of the real /sys and /dev.
std::vector<std::string> ChildEnvironment(char** inherited, const std::string& testbedDir);

// The library that --no-access preloads: beside orvel-sim (in a build tree),
// else where it is installed; "" when neither has it.
std::string NoAccessLibrary();

// Opening any of `nodes` fails with EACCES in the command and what it
// starts: `library` goes in front of umockdev's preload library and is told
// the nodes.
void RefuseAccess(std::vector<std::string>& environment, const std::string& library,
                  const std::vector<std::string>& nodes);

// Starts `command` (searched in PATH) with our standard streams. On failure
// returns -1 with the exit status to report (126: cannot run, 127: not found).
pid_t StartChild(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                 int& failureStatus, std::string& error);

// The status to exit with for a waitpid() status: the child's exit code, or
// 128 + the signal that killed it.
int ExitStatusOf(int waitStatus);

}  // namespace orvel_sim
