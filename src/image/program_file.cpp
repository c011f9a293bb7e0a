#include "image/program_file.h"

bool OpenProgramFile(platform::InputFile& file, const std::string& path, Reasons* why) {
  using Kind = platform::InputFile::Kind;
  if (!file.Open(path)) {
    AddError(why, "cannot open '{0}': {1}", "无法打开“{0}”：{1}", {path, file.error()});
    return false;
  }
  if (file.kind() == Kind::Regular) {
    if (file.size() != 0) return true;
    AddEmptyProgramReason(why, path);
    return false;
  }
  const FileKindWords words = NotRegularFileWords(file.kind());
  AddError(why, std::string("'{0}' is ") + words.english + "; only files can be flashed",
           std::string("“{0}”") + words.chinese + "；只能烧录普通文件", {path});
  return false;
}

bool ReadProgramFile(platform::InputFile& file, const std::string& path, void* dest, uint64_t count,
                     Reasons* why) {
  if (file.Read(dest, count)) return true;
  if (file.error().empty()) {
    AddError(why, "cannot read '{0}': it ended before its {1} bytes were read",
             "无法读取“{0}”：文件在读完 {1} 字节之前结束", {path, std::to_string(count)});
  } else {
    AddError(why, "cannot read '{0}': {1}", "无法读取“{0}”：{1}", {path, file.error()});
  }
  return false;
}

void AddOutOfMemoryReason(Reasons* why, const std::string& path, uint64_t size) {
  AddError(why, "not enough memory for the {1} bytes of '{0}'", "内存不足，无法容纳“{0}”的 {1} 字节",
           {path, std::to_string(size)});
}

void AddEmptyProgramReason(Reasons* why, const std::string& path) {
  AddError(why, "'{0}' is empty", "“{0}”是空文件", {path});
}

FileKindWords NotRegularFileWords(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::Fifo:
      return {"a FIFO, not a regular file", "是命名管道（FIFO），不是普通文件"};
    case platform::FileKind::Device:
      return {"a device, not a regular file", "是设备，不是普通文件"};
    case platform::FileKind::Socket:
      return {"a socket, not a regular file", "是套接字，不是普通文件"};
    case platform::FileKind::Regular:
    case platform::FileKind::Other:
      break;
  }
  return {"not a regular file", "不是普通文件"};
}
