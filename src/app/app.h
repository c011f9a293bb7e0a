// The entry: language choice, one-shot job or interactive shell.
#pragma once

#include <istream>
#include <string>
#include <vector>

extern const char* const ToolName;

std::string VersionString();
void PrintHelp();
std::vector<std::string> SplitWords(const std::string& line);
bool IsChineseLocale();

// Runs the tool with the command-line words (argv[1..]) and the shell's input.
// Returns the exit status: 1 after a successful job, 0 otherwise.
int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input);
