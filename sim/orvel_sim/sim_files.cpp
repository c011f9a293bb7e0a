#include "sim_files.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvel_sim {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " '" + path + "': " + std::strerror(errno);
}

}  // namespace

bool LoadFlashFile(const std::string& path, std::vector<uint8_t>& flash, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (errno == ENOENT) return true;  // a chip fresh from the factory
    error = Reason("cannot read", path);
    return false;
  }
  const size_t got = std::fread(flash.data(), 1, flash.size(), file);
  const bool failed = std::ferror(file) != 0;
  const bool longer = !failed && got == flash.size() && std::fgetc(file) != EOF;
  std::fclose(file);
  if (failed) {
    error = Reason("cannot read", path);
    return false;
  }
  if (longer) {
    error = "'" + path + "' is larger than the flash (" + std::to_string(flash.size()) + " bytes)";
    return false;
  }
  return true;
}

bool SaveFlashFile(const std::string& path, const std::vector<uint8_t>& flash, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = Reason("cannot write", path);
    return false;
  }
  const bool written = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = Reason("cannot write", path);
    return false;
  }
  return true;
}

bool MakeFolder(const std::string& path, std::string& error) {
  if (g_mkdir_with_parents(path.c_str(), 0777) != 0) {
    error = Reason("cannot make the folder", path);
    return false;
  }
  return true;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines,
                std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) {
    error = Reason("cannot write", path);
    return false;
  }
  bool written = true;
  for (const std::string& line : lines) {
    written = written && std::fputs(line.c_str(), file) >= 0 && std::fputc('\n', file) != EOF;
  }
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = Reason("cannot write", path);
    return false;
  }
  return true;
}

}  // namespace orvel_sim
