// The usage text of --help: every option of the command line, concise, in
// both languages (UTF-8 here, the console's encoding on the way out). The
// shell's own help is PrintHelp and stays as it is.
#include <ostream>

#include "app/app.h"
#include "console/output.h"

namespace {

const char* const kUsageEnglish =
    R"(Usage: orvel-dfu [options] -p addr pg_path [-p addr pg_path ...]
       orvel-dfu ACTION [options]
       orvel-dfu                 (no options: the interactive shell)

Job options (also on dfu lines at the prompt):
  -w wait                  0: look for the bootloader once (default); 1: wait until one answers
  -s flash_size            program area: 0: 252 KB, 1: 508 KB (default), 2: 1020 KB
  -m mode                  0: download, then read back and compare (default); 1: download only
  -p addr pg_path          a program file and its start address in hexadecimal (for example A000);
                           FFFFFFFF takes a .hex file's own addresses; repeat for more programs
  --device SELECTOR        only the bootloader whose path, serial number or USB location is SELECTOR
  --timeout SECONDS        with -w 1: give up after SECONDS (decimals allowed)
  --quiet                  no notes or warnings on standard error (errors still go there)
  --strict                 refuse what is otherwise a warning; a command line that does not parse
                           ends the tool with its reasons instead of opening the shell
  --posix-exit             exit status 0: success, 1: failure, 2: command line refused
                           (a command line that does not parse ends the tool, as with --strict)
  --progress STYLE         percent: the progress line on standard output (default); rich: step,
                           bytes, speed and time left on standard error; none: no progress

Actions (command line only; each runs instead of a job):
  --help, -h               this text (exit status 0)
  --version, -V            the version line (exit status 0)
  --list                   one line per bootloader: PATH, SERIAL, LOCATION, STATE, DESCRIPTION
                           (exit status 1: one or more listed, 0: none)
  --dry-run                load and check the -p programs and print the job's plan, touching no device
                           (exit status 1: the job would start, 0: it would not)
  --read ADDR LENGTH FILE  read LENGTH bytes of flash from ADDR (both hexadecimal) into FILE
                           (exit status 1: read, 0: failed)
  --verify-only            compare the -p programs with the chip's flash, writing nothing
                           (exit status 1: all bytes match, 0: not)
  --station                flash every bootloader that attaches, several at once, until Ctrl+C;
                           a result line per board (exit status 1: one or more passed, none failed)

Station options (with --station):
  --device SELECTOR        serve only these ports or serial numbers (repeatable)
  --count N                end after N boards passed
  --log FILE               append a JSON record per board to FILE, synced to disk

A long option takes its value as --name VALUE or --name=VALUE.
A job exits with status 1 when it succeeded and 0 when it failed (with --posix-exit: 0 and 1).
)";

const char* const kUsageChinese =
    R"(用法：orvel-dfu [选项] -p addr pg_path [-p addr pg_path ...]
      orvel-dfu 操作 [选项]
      orvel-dfu                  （不带选项：进入交互命令行）

任务选项（也可用于提示符下的 dfu 命令）：
  -w wait                  0：只查询一次引导程序（默认）；1：一直等待，直到有引导程序应答
  -s flash_size            程序区大小：0：252 KB，1：508 KB（默认），2：1020 KB
  -m mode                  0：下载后读取校验（默认）；1：仅下载
  -p addr pg_path          程序文件及其十六进制起始地址（例如 A000）；
                           FFFFFFFF 表示使用 .hex 文件自身的地址；可重复指定多个程序
  --device SELECTOR        只使用路径、序列号或 USB 位置等于 SELECTOR 的引导程序
  --timeout SECONDS        与 -w 1 一起使用：等待 SECONDS 秒后放弃（可带小数）
  --quiet                  标准错误上不输出提示和警告（错误仍会输出）
  --strict                 拒绝原本只是警告的内容；命令行无法解析时输出原因并退出，
                           而不进入交互命令行
  --posix-exit             退出状态 0：成功，1：失败，2：命令行被拒绝
                           （命令行无法解析时退出，与 --strict 相同）
  --progress STYLE         percent：在标准输出上显示进度行（默认）；rich：在标准错误上显示
                           步骤、字节数、速度和剩余时间；none：不显示进度

操作（仅限命令行；代替任务运行）：
  --help, -h               显示本用法（退出状态 0）
  --version, -V            显示版本行（退出状态 0）
  --list                   每个引导程序一行：PATH、SERIAL、LOCATION、STATE、DESCRIPTION
                           （退出状态 1：列出至少一个，0：没有）
  --dry-run                加载并检查 -p 程序，输出任务计划，不访问任何设备
                           （退出状态 1：任务可以开始，0：不能）
  --read ADDR LENGTH FILE  从 ADDR 起读取 LENGTH 字节的 Flash（均为十六进制），写入 FILE
                           （退出状态 1：读取成功，0：失败）
  --verify-only            将 -p 程序与芯片 Flash 比较，不写入任何内容
                           （退出状态 1：全部一致，0：不一致）
  --station                烧录每个连接上的引导程序，可同时烧录多块，直到按 Ctrl+C；
                           每块板子输出一行结果（退出状态 1：至少一块通过且没有失败）

工位选项（与 --station 一起使用）：
  --device SELECTOR        只服务这些端口或序列号（可重复）
  --count N                通过 N 块板子后结束
  --log FILE               每块板子向 FILE 追加一条 JSON 记录，并同步写入磁盘

长选项的参数可写作 --name VALUE 或 --name=VALUE。
任务成功时退出状态为 1，失败时为 0（使用 --posix-exit 时为 0 和 1）。
)";

}  // namespace

void PrintUsage() { ConsoleOut() << Localized(kUsageEnglish, kUsageChinese) << std::flush; }
