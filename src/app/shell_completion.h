// Tab completion at the shell's prompt: the commands, the options of a dfu
// line and their values, the attached bootloaders for --device, and file
// names where a program's path goes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/line_editor.h"

// What completion needs to know of the world besides the file system.
struct ShellCompletionSources {
  // The serial numbers and USB locations of the bootloaders attached now.
  std::function<std::vector<std::string>()> deviceSelectors;
};

// The candidates for the word that ends at the cursor. Command words and
// option names match without regard to case, file names exactly.
platform::Completion CompleteShellLine(const std::string& beforeCursor, const ShellCompletionSources& sources);

// The serial numbers and USB locations of the attached bootloaders, each
// once, sorted: what --device takes besides a path. Lists the interfaces
// without waiting for a rescan, and opens none.
std::vector<std::string> AttachedDeviceSelectors();
