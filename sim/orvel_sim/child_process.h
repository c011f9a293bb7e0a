// The command that runs while the virtual devices are attached.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvel_sim {

// The environment of the child: ours, plus what umockdev's preload library
// needs to show it the testbed instead of the real /sys and /dev.
std::vector<std::string> ChildEnvironment(char** inherited, const std::string& testbedDir);

// One of orvel-sim's libraries for the command (liborvel_sim_<name>.so):
// beside orvel-sim (in a build tree), else where it is installed; "" when
// neither has it.
std::string CommandLibrary(const std::string& name);

// `library` goes in front of the command's preload libraries (umockdev's).
void PreloadFirst(std::vector<std::string>& environment, const std::string& library);

// Opening any of `nodes` fails with EACCES in the command and what it
// starts: `library` (the no_access one) is preloaded and told the nodes.
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
