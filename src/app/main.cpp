#include <iostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "console/output.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before anything opens a file or a device: none may take the place of a
  // closed standard stream and receive console text.
  platform::OpenClosedStandardStreams();
  // A console write that fails is harmless; the job goes on and its exit
  // status tells how it went.
  platform::IgnoreBrokenPipe();
  SetConsoleEncoding(platform::ConsoleUsesGbk() ? ConsoleEncoding::Gbk : ConsoleEncoding::Utf8);
  std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  return RunOrvelDfu(words, std::cin, ShellInput::TerminalWhenPossible);
}
