// The built tool as a user runs it: standard input fed, standard output and
// the exit status checked, the locale given through the environment.
#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "app/app.h"
#include "app_help_text.h"
#include "platform/platform.h"
#include "portable.h"

namespace {

using app_test::kChineseHelp;
using app_test::kEnglishHelp;
using app_test::kVersionLine;

struct ProcessResult {
  int status = -1;
  std::string output;
  std::string errors;  // standard error
  long peakMemoryKb = 0;  // the process's largest resident set (POSIX)
};

#ifdef _WIN32

// A command-line word as the C runtime splits it again: quoted when it holds
// blanks or quotes, with backslashes before a quote doubled.
std::string QuoteWord(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// Runs the tool with the arguments and the input as its standard input, in a
// console of its own (hidden), as from a console window: its code page is
// the system's console code page. The language comes from the user's locale,
// so the environment is left as it is. Standard error goes to a file.
ProcessResult RunTool(const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>&) {
  ProcessResult result;
  std::string inputPath = TempFolderPattern("orvel-app-input");
  if (mkdtemp(inputPath.data()) == nullptr) return result;
  const std::string inputFile = inputPath + "\\input.txt";
  const std::string errorFile = inputPath + "\\errors.txt";
  std::ofstream(inputFile, std::ios::binary) << input;

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE inputHandle = CreateFileA(inputFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
  HANDLE errorHandle = CreateFileA(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                   0, nullptr);
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  if (inputHandle == INVALID_HANDLE_VALUE || errorHandle == INVALID_HANDLE_VALUE) return result;
  if (!CreatePipe(&outputRead, &outputWrite, &inheritable, 0)) return result;
  SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = QuoteWord(ORVEL_DFU_EXE);
  for (const std::string& arg : args) commandLine += " " + QuoteWord(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputHandle;
  startup.hStdOutput = outputWrite;
  startup.hStdError = errorHandle;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &startup, &process) != 0;
  CloseHandle(outputWrite);
  CloseHandle(inputHandle);
  CloseHandle(errorHandle);
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outputRead, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
    DWORD status = 0;
    const bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0;
    if (ended && GetExitCodeProcess(process.hProcess, &status)) result.status = static_cast<int>(status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(outputRead);
  std::ifstream errors(errorFile, std::ios::binary);
  result.errors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  errors.close();
  std::error_code ignored;
  std::filesystem::remove_all(inputPath, ignored);
  return result;
}

#else

// A file that is gone once closed, holding nothing yet; -1 when none can be made.
int NewInputFile() {
  char inputPath[] = "/tmp/orvel-app-input-XXXXXX";
  const int inputFd = mkstemp(inputPath);
  if (inputFd >= 0) unlink(inputPath);
  return inputFd;
}

// Runs the tool with the arguments, the file inputFd (which it closes) as
// its standard input from its start, and nothing in its environment but the
// given variables. Standard error goes to a file, so neither stream can
// stall the other.
ProcessResult RunToolOnFile(const std::vector<std::string>& args, int inputFd,
                            const std::vector<std::string>& environment) {
  ProcessResult result;
  if (inputFd < 0) return result;
  lseek(inputFd, 0, SEEK_SET);
  char errorPath[] = "/tmp/orvel-app-errors-XXXXXX";
  const int errorFd = mkstemp(errorPath);
  if (errorFd < 0) return result;
  unlink(errorPath);

  int output[2];
  if (pipe(output) != 0) return result;
  std::vector<char*> argv;
  std::string exe = ORVEL_DFU_EXE;
  argv.push_back(&exe[0]);
  std::vector<std::string> argsCopy = args;
  for (std::string& arg : argsCopy) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envCopy = environment;
  std::vector<char*> envp;
  for (std::string& variable : envCopy) envp.push_back(&variable[0]);
  envp.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    dup2(inputFd, STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    dup2(errorFd, STDERR_FILENO);
    close(output[0]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(inputFd);
  close(output[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(output[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(got));
  close(output[0]);
  int status = 0;
  struct rusage usage {};
  if (child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.peakMemoryKb = usage.ru_maxrss;
  lseek(errorFd, 0, SEEK_SET);
  while ((got = read(errorFd, buffer, sizeof buffer)) > 0) result.errors.append(buffer, static_cast<size_t>(got));
  close(errorFd);
  return result;
}

// The same with the input given as text.
ProcessResult RunTool(const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>& environment) {
  const int inputFd = NewInputFile();
  if (inputFd >= 0 && write(inputFd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    close(inputFd);
    return ProcessResult();
  }
  return RunToolOnFile(args, inputFd, environment);
}

#endif

// Standard output is in text mode: Windows writes "\r\n" for "\n".
std::string AsWritten(std::string text) {
#ifdef _WIN32
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, 1, '\r');
#endif
  return text;
}

constexpr const char* kLocaleFromLang =
    "the language and console encoding come from LANG on POSIX only (WindowsUserLocale covers Windows)";

TEST(AppProcessTest, ShellRunsAndEndsWithStatusZero) {
#ifdef _WIN32
  GTEST_SKIP() << kLocaleFromLang;
#endif
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string lang;
    std::string expected;
  };
  const std::string en = std::string(kVersionLine) + kEnglishHelp;
  const std::vector<Case> cases = {
      {"exit", {}, "exit\n", "LANG=en_US.UTF-8", en + ">> "},
      {"end of input", {}, "", "LANG=en_US.UTF-8", en + ">> "},
      {"commands", {}, "v\r\nhelp\nexit\n", "LANG=C", en + ">> " + kVersionLine + ">> " + kEnglishHelp + ">> "},
      {"command line does not parse", {"-P", "0", "app.bin"}, "EXIT\n", "LANG=en_US.UTF-8", en + ">> "},
      {"taiwan gets english", {}, "exit\n", "LANG=zh_TW.UTF-8", en + ">> "},
      {"no locale", {}, "exit\n", "HOME=/", en + ">> "},
      {"chinese utf-8", {}, "dfu\nexit\n", "LANG=zh_CN.UTF-8",
       std::string(kVersionLine) + kChineseHelp + ">> >> ：参数错误！\n>> "},
  };
  for (const Case& c : cases) {
    const ProcessResult result = RunTool(c.args, c.input, {c.lang});
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.output, c.expected) << c.name;
  }
}

TEST(AppProcessTest, GbkLocaleGetsGbkBytes) {
#ifdef _WIN32
  GTEST_SKIP() << kLocaleFromLang;
#endif
  const ProcessResult result = RunTool({}, "dfu\nlanguage 1\nhelp\n", {"LANG=zh_CN.GBK"});
  EXPECT_EQ(result.status, 0);
  const std::string chinese = std::string(kVersionLine) + platform::Utf8ToGbk(kChineseHelp);
  EXPECT_EQ(result.output.substr(0, chinese.size()), chinese);
  EXPECT_NE(result.output.find(std::string("=\n") + app_test::kGbkSupportCommands + "\n"), std::string::npos);
  EXPECT_NE(result.output.find(">> >> \xA3\xBA\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1\n"), std::string::npos);
  EXPECT_NE(result.output.find(std::string("\n") + app_test::kGbkEnglishCommandFormat + "\n"), std::string::npos);
  EXPECT_EQ(result.output.find("\xEF\xBC\x9A"), std::string::npos);  // no UTF-8 full-width colon
}

// Reasons reach standard error of the real process in the locale's language
// and encoding; standard output and the status are what they always were.
TEST(AppProcessTest, RefusedWordsSayWhyOnStandardError) {
#ifdef _WIN32
  GTEST_SKIP() << kLocaleFromLang;
#endif
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string lang;
    std::string output;
    std::string errors;
  };
  const std::string en = std::string(kVersionLine) + kEnglishHelp;
  const std::string noProgram =
      "orvel-dfu: error: no program given: name one with -p addr pg_path (for example -p A000 app.bin)\n";
  const std::string incompleteZh = "orvel-dfu: 错误：“-p”不完整：应写作 -p addr pg_path（例如 -p A000 app.bin）\n";
  const std::vector<Case> cases = {
      {"upper-case option", {"-P", "0", "app.bin"}, "", "LANG=en_US.UTF-8", en + ">> ",
       "orvel-dfu: warning: '-P' is no option and was ignored: option names are case-sensitive on the command "
       "line (did you mean '-p'?)\n" + noProgram},
      {"gbk prompt", {}, "log 0\ndfu -p 0\n", "LANG=zh_CN.GBK",
       std::string(kVersionLine) + platform::Utf8ToGbk(kChineseHelp) + ">> >> >> ",
       platform::Utf8ToGbk(incompleteZh)},
  };
  for (const Case& c : cases) {
    const ProcessResult result = RunTool(c.args, c.input, {c.lang});
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
    EXPECT_EQ(result.errors, c.errors) << c.name;
  }

  // A missing program in a script with no input: the help and status 0 as
  // ever, and an error naming the file (the loader's own words).
  const ProcessResult missing = RunTool({"-p", "0", "nosuch.bin"}, "", {"LANG=en_US.UTF-8"});
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.output, en + ">> ");
  EXPECT_EQ(missing.errors.rfind("orvel-dfu: error: ", 0), 0u) << missing.errors;
  EXPECT_NE(missing.errors.find("'nosuch.bin'"), std::string::npos) << missing.errors;
}

// Input without line ends never grows memory: a line past the shell's bound
// is refused as soon as it is, its rest read and dropped, and the next line
// runs. 64 MB of one line, with the memory the whole process ever held
// checked against half of it.
TEST(AppProcessTest, LongInputLineKeepsMemorySmall) {
#ifdef _WIN32
  GTEST_SKIP() << "the largest resident set is read through wait4 (POSIX)";
#else
  // Written a piece at a time: the test process's own memory counts in the
  // child's until it runs the tool.
  const size_t lineBytes = 64u << 20;
  const int inputFd = NewInputFile();
  ASSERT_GE(inputFd, 0);
  const std::string piece(1u << 20, 'x');
  for (size_t written = 0; written < lineBytes; written += piece.size()) {
    ASSERT_EQ(write(inputFd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
  }
  ASSERT_EQ(write(inputFd, "\nv\n", 3), 3);
  const ProcessResult result = RunToolOnFile({}, inputFd, {"LANG=en_US.UTF-8"});
  EXPECT_EQ(result.status, 0);
  const std::string en = std::string(kVersionLine) + kEnglishHelp;
  EXPECT_EQ(result.output, en + ">> >> " + kVersionLine + ">> ");
  EXPECT_EQ(result.errors, "orvel-dfu: error: line 1 of the input is longer than 65536 bytes and was skipped\n");
  EXPECT_GT(result.peakMemoryKb, 0);
  EXPECT_LT(static_cast<size_t>(result.peakMemoryKb), lineBytes / 1024 / 2);
#endif
}

// Actions end the real process with their own status; standard output
// carries only what they print.
TEST(AppProcessTest, ActionsEndWithTheirOwnStatus) {
#ifdef _WIN32
  GTEST_SKIP() << kLocaleFromLang;
#endif
  char dir[] = "/tmp/orvel-app-actions-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string a = std::string(dir) + "/a.bin";
  const std::string b = std::string(dir) + "/b.bin";
  {
    std::ofstream aFile(a, std::ios::binary);
    for (int i = 0; i < 5000; ++i) aFile.put(static_cast<char>(i * 7 + 3));
    std::ofstream(b, std::ios::binary) << "hello";
  }
  // CRC-32 values as zlib.crc32 gives them; b.bin gets 16 bytes of 0xFF
  // filler in front, to start on a 256-byte boundary.
  const std::string planEnglish =
      "Dry run: the job these options describe; no device is touched\n"
      "Program '" + a + "': 0x00000000..0x00001388, 5000 bytes, CRC-32 0x1ABD04D4\n"
      "Program '" + b + "': 0x00003000..0x00003015, 21 bytes, CRC-32 0xD0A0F20A\n"
      "Erase 0x00000000: 2 sectors\n"
      "Erase 0x00003000: 1 sector\n"
      "Packets: probe 1, erase 2, download start 2, download data 82, read 82, restart 3; 172 in all\n"
      "USB time: 0.172 s at one exchange per millisecond\n";
  const std::string planChinese =
      "试运行：以下是这些选项描述的任务，不访问任何设备\n"
      "程序“" + a + "”：0x00000000..0x00001388，5000 字节，CRC-32 0x1ABD04D4\n"
      "程序“" + b + "”：0x00003000..0x00003015，21 字节，CRC-32 0xD0A0F20A\n"
      "擦除 0x00000000：2 个扇区\n"
      "擦除 0x00003000：1 个扇区\n"
      "数据包：探测 1，擦除 2，下载开始 2，下载数据 82，读取 0，重启 3；共 90 个\n"
      "USB 时间：0.090 秒（每毫秒一次交换）\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string lang;
    int status;
    std::string output;
    std::string errors;
  };
  const std::vector<Case> cases = {
      {"version", {"--version"}, "LANG=en_US.UTF-8", 0, kVersionLine, ""},
      {"dry run", {"--dry-run", "-p", "3010", b, "-p", "0", a}, "LANG=en_US.UTF-8", 1, planEnglish, ""},
      {"dry run, download only", {"-m", "1", "-p", "3010", b, "-p", "0", a, "--dry-run"}, "LANG=zh_CN.UTF-8", 1,
       planChinese, ""},
      {"dry run, overlapping programs", {"--dry-run", "-p", "1000", b, "-p", "0", a}, "LANG=en_US.UTF-8", 0, "",
       "orvel-dfu: error: '" + a + "' (0x00000000..0x00001388) overlaps '" + b +
           "' (0x00001000..0x00001005): programs must not share flash\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult result = RunTool(c.args, "help\n", {c.lang});
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
    EXPECT_EQ(result.errors, c.errors) << c.name;
  }

  const ProcessResult usage = RunTool({"--help"}, "", {"LANG=zh_CN.GBK"});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.output.rfind(platform::Utf8ToGbk("用法：orvel-dfu [选项]"), 0), 0u) << usage.output;
  EXPECT_EQ(usage.errors, "");

  unlink(a.c_str());
  unlink(b.c_str());
  rmdir(dir);
}

// Every action that is refused, for a bad value, an unknown word or a file
// it cannot use, ends with status 0 and nothing on standard output, whatever
// status it gives when it runs; why goes to standard error.
TEST(AppProcessTest, RefusedActionsEndWithStatusZeroAndNothingOnStandardOutput) {
#ifdef _WIN32
  GTEST_SKIP() << kLocaleFromLang;
#endif
  std::string dir = TempFolderPattern("orvel-app-refused");
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string app = dir + "/app.bin";
  std::ofstream(app, std::ios::binary) << std::string(300, '\x5A');
  const std::string out = dir + "/out.bin";
  const std::string missing = dir + "/nosuch.bin";
  const std::vector<std::vector<std::string>> cases = {
      {"--dry-run", "-s", "3", "-p", "0", app},
      {"--dry-run", "--frobnicate", "-p", "0", app},
      {"--dry-run", "-p", "0", missing},
      {"--verify-only", "-m", "x", "-p", "0", app},
      {"--verify-only", "-p", "0", app, "--frobnicate"},
      {"--verify-only", "-p", "0", missing},
      {"--read", "0", "0", out},
      {"--read", "0", "10", out, "-w", "x"},
      {"--read", "0", "10", out, "--frobnicate"},
      {"--read", "0", "10", dir + "/nodir/out.bin"},
      {"--list", "-s", "3"},
      {"--list", "--frobnicate"},
      {"--help", "-w", "x"},
      {"--help", "--frobnicate"},
      {"--version", "-s", "3"},
      {"--version", "--frobnicate"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string line;
    for (const std::string& arg : args) line += arg + " ";
    SCOPED_TRACE(line);
    const ProcessResult result = RunTool(args, "help\n", {"LANG=en_US.UTF-8"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors.rfind("orvel-dfu: error: ", 0), 0u) << result.errors;
  }
  EXPECT_NE(access(out.c_str(), F_OK), 0) << "a refused --read made its file";
  std::filesystem::remove_all(dir);
}

// No bootloader is attached where the tests run: a one-shot job that does
// not wait fails after one attempt.
TEST(AppProcessTest, OneShotJobWithoutDeviceFails) {
#ifdef _WIN32
  if (StartupUiLanguage() != 1) GTEST_SKIP() << "expects English texts: an English Windows user locale";
#endif
  std::string dir = TempFolderPattern("orvel-app-process");
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string program = dir + "/app.bin";
  std::ofstream(program, std::ios::binary) << std::string(300, '\x5A');

  const ProcessResult result = RunTool({"-p", "A000", program}, "help\n", {"LANG=en_US.UTF-8"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output.find("Orvel ROM DFU"), std::string::npos) << result.output;
  const std::regex failedLine(">> DFU failed! \\([0-9]+\\.[0-9]{3}s\\)" + AsWritten("\n") + "$");
  EXPECT_TRUE(std::regex_search(result.output, failedLine)) << result.output;

  unlink(program.c_str());
  rmdir(dir.c_str());
}

// Windows: the user's locale chooses the language, the console's code page
// (the system's, in a new console) the encoding: 936 gives GBK. The locale the
// tests run under is named in ORVEL_TEST_USER_LOCALE; the Windows build runs
// this test under Wine once per locale.
#ifdef _WIN32
TEST(AppProcessTest, WindowsUserLocaleChoosesLanguageAndEncoding) {
  struct Case {
    const char* userLocale;
    std::string input;
    std::string expected;
  };
  const std::string en = std::string(kVersionLine) + kEnglishHelp;
  const std::string zhGbk = kVersionLine + platform::Utf8ToGbk(kChineseHelp);
  const std::vector<Case> cases = {
      {"en-US", "exit\n", en + ">> "},
      // Code page 437: Chinese texts stay UTF-8.
      {"en-US", "language 0\nhelp\n", en + ">> >> " + kChineseHelp + ">> "},
      {"zh-CN", "exit\n", zhGbk + ">> "},
      {"zh-CN", "dfu\n", zhGbk + ">> >> " + platform::Utf8ToGbk("：参数错误！") + "\n>> "},
      {"zh-CN", "language 1\nv\n", zhGbk + ">> >> " + kVersionLine + ">> "},
      {"zh-TW", "exit\n", en + ">> "},
  };
  const std::string declared = DeclaredUserLocale();
  int ran = 0;
  for (const Case& c : cases) {
    if (declared != c.userLocale) continue;
    const ProcessResult result = RunTool({}, c.input, {});
    EXPECT_EQ(result.status, 0) << c.input;
    EXPECT_EQ(result.output, AsWritten(c.expected)) << c.input;
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << kUserLocaleUnnamed << " (got '" << declared << "')";
}
#endif

}  // namespace
