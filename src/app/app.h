// The entry: language choice, one-shot job or interactive shell.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "common/reason.h"

extern const char* const ToolName;

std::string VersionString();
// The version line, as `v` at the prompt and --version write it.
void PrintVersionLine();
void PrintHelp();
std::vector<std::string> SplitWords(const std::string& line);
bool IsChineseLocale();

// The start-up language choice, apart from the platform queries: true when
// the ISO 639 name is "zh" in any case, or could not be had.
bool IsChineseLanguageName(bool known, const std::string& iso639);
// UiLanguage from the first check and the UI locale name: Chinese (0) only
// when the first check says Chinese and the UI locale is "zh-CN" or unknown.
int32_t ChooseUiLanguage(bool chineseLocale, bool uiNameKnown, const std::string& uiLocaleName);
// Both checks against the platform's locale.
int32_t StartupUiLanguage();

// Where the shell reads its lines: the input stream as it is, or, when the
// input stream is the terminal's, the terminal's line editor with its
// history and completion (shell_input.h).
enum class ShellInput { Stream, TerminalWhenPossible };

// Runs the tool with the command-line words (argv[1..]) and the shell's input.
// Returns the exit status (ExitStatus: 1 after a successful job, 0
// otherwise; the usual ones with --posix-exit).
int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input,
                ShellInput mode = ShellInput::Stream);

// The interactive shell: version, help, then commands until `exit`, the end
// of the input, or a `dfu` line that parses (which runs the job).
RunOutcome RunShell(std::istream& input, ShellInput mode = ShellInput::Stream);
// Runs the parsed job, writes the verdict line and closes the device link.
// Ctrl+C or SIGTERM stops the job at its next packet.
RunOutcome RunJobToEnd();
// How a job, or an action that works on the chip, ends: the reasons, with
// the console's notes (what was done after a success, the next step after
// trouble with the device), then the verdict line with the job time; the
// device link is closed.
RunOutcome EndWithVerdict(bool success, Reasons why, const std::string& successText,
                          const std::string& failureText);

// Runs the action of the parsed command line (theDfuSettings.action), after
// the reasons the parse gave, unless one of them is an error.
RunOutcome RunActionToEnd(const Reasons& parseReasons);
// --help: the command line's usage, every option in it.
void PrintUsage();
// --dry-run: succeeds, with the plan, when a job with these options would
// start; fails, with the reasons, otherwise.
RunOutcome RunDryRun();
void PrintDryRunPlan();
// --list: a line per bootloader interface; succeeds when one or more are
// listed.
RunOutcome RunList();
// --read: succeeds when the whole range was read and written to its file.
RunOutcome RunRead();
// --verify-only: succeeds when every byte of every program matches; refused
// when a program does not load.
RunOutcome RunVerifyOnlyAction();
