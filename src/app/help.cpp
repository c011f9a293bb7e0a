#include <cstdint>
#include <string>

#include "app/app.h"
#include "common/version.h"
#include "console/output.h"

const char* const ToolName = kToolName;

namespace {

// Both forms are UTF-8 here. The English line 6 has a full-width colon too,
// so the English lines also go through the console's encoding.
struct HelpLine {
  const char* english;
  const char* chinese;
};

const HelpLine kHelpLines[] = {
    {"Support commands:",
     "支持命令: "},
    {"   help: View command help",
     "   help: 查看命令帮助"},
    {"      v: View tool version information",
     "      v: 查看工具版本信息"},
    {"   exit: quit",
     "   exit: 退出"},
    {"    dfu: DFU command",
     "    dfu: DFU 命令"},
    {"       Command format：dfu -w wait -s flash_size -m mode -p addr,pg_path",
     "       命令格式：dfu -w wait -s flash_size -m mode -p addr pg_path"},
    {"        -w: To set the query device connection wait flag",
     "        -w: 为设置查询设备连接等待标志"},
    {"           wait: -w Specifies the query device connection wait parameter. The value can be 0 or 1. The default value is 0",
     "           wait: -w 后面紧跟的查询设备连接等待参数，可设置值 0、1，默认为 0"},
    {"               0: Do not wait to query the device connection. If the device connection cannot be queried once, the system fails to exit",
     "               0: 为查询设备连接不等待，查询一次设备连接未查询到则失败退出"},
    {"               1: Wait to query the device connection, and keep querying the device connection until the device connection is queried",
     "               1: 为查询设备连接等待，一直在查询设备连接，直到查询到设备连接为止"},
    {"       -s: Set the chip program area size flag",
     "        -s: 为设置芯片程序区大小标志"},
    {"           flash_size: Fllows -s to specify the program area size(range: 0 ~ 2, default: 1)",
     "           flash_size: -s 后面紧跟的芯片程序区大小参数，范围 0 ~ 2，默认为 1"},
    {"               0: 256 KB(program area : 252 KB)",
     "               0: 为 256 KB，程序区大小 252 KB"},
    {"               1: 512 KB(program area : 508 KB)",
     "               1: 为 512 KB，程序区大小 508 KB"},
    {"               2: 1 MB(program area : 1020 KB)",
     "               2: 为 1 MB，程序区大小 1020 KB"},
    {"       -m: Set the DFU mode flag",
     "        -m: 为设置 DFU 模式标志"},
    {"           mode: Follows -m to specify the DFU mode(values: 0 or 1, default: 0)",
     "           mode: -m 后面紧跟的 DFU 模式参数，可设置值 0、1，默认为 0"},
    {"               0: Full DFU upgrade with post - download verification(ensures program correctness but takes longer).",
     "               0: 为 DFU 升级下载完成，读取校验（DFU 成功能保证升级成功程序的正确性，但耗时较长）"},
    {"               1: DFU download only(faster but does not fully guarantee program correctness).",
     "               1: 为单独 DFU 升级下载（DFU 成功不能完全保证升级成功程序的正确性，但耗时较短）"},
    {"       -p: Set the DFU program flag(supports multiple programs if their sizes and addresses do not overlap within the program area).",
     "        -p: 为设置 DFU 程序标志，支持传入多个程序，只要程序大小未超出芯片程序区范围，以及程序之间没有重叠区域即可"},
    {"           addr: Follows -p to specify the starting address for DFU download(hex format, e.g., A000; must fall within the chip's program area).",
     "           addr: -p 后面紧跟的程序 DFU 升级下载的起始地址参数，十六进制格式（例如：A000）范围为芯片程序区范围"},
    {"               Range is chip program area range: To specify the program start address, a valid address must be specified for the *.bin program file",
     "               范围为芯片程序区范围: 为指定程序起始地址，对于 *.bin 程序文件必须指定有效地址"},
    {"               FFFFFFFF: For program files in *.hex format, the start address of the program file prevails",
     "               FFFFFFFF: 对于 *.hex 格式程序文件，以程序文件起始地址为准"},
    {"           pg_path: -p Specifies the DFU download path separated by a space after the addr parameter.",
     "           pg_path: -p 后面紧跟的在 addr 参数后面，以英文空格隔开的 DFU 下载程序路径参数"},
};

void WriteHelpLine(const std::string& line) { ConsoleOut() << line << '\n' << std::flush; }

}  // namespace

std::string VersionString() { return VersionLine(); }

void PrintVersionLine() { ConsoleOut() << VersionString() << "\n" << std::flush; }

void PrintHelp() {
  const std::string separator(112, '=');
  WriteHelpLine(separator);
  for (const HelpLine& line : kHelpLines) {
    WriteHelpLine(ToConsoleEncoding(UiLanguage != 0 ? line.english : line.chinese));
  }
  WriteHelpLine(separator);
}
