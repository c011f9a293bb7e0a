// The shell's input: bounded line reading.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/line_reader.h"

namespace {

// Every line the reader gives, as "L:text", "T" (too long) or "E" (end).
std::string ReadAll(const std::string& input, size_t limit) {
  std::istringstream stream(input);
  const auto nextByte = [&stream] { return stream.rdbuf()->sbumpc(); };
  std::string seen;
  std::string line;
  for (;;) {
    switch (ReadBoundedLine(nextByte, line, limit)) {
      case LineRead::End:
        return seen + "E";
      case LineRead::TooLong:
        seen += "T|";
        SkipRestOfLine(nextByte);
        break;
      case LineRead::Line:
        seen += "L:" + line + "|";
        break;
    }
  }
}

TEST(BoundedLineTest, KeepsAtMostTheLimit) {
  struct Case {
    std::string input;
    std::string seen;
  };
  const std::vector<Case> cases = {
      {"", "E"},
      {"\n", "L:|E"},
      {"abc\ndef", "L:abc|L:def|E"},
      {"abc\r\n\r\n", "L:abc|L:|E"},
      {"abc\r\r\n", "L:abc\r|E"},
      {"a\rb\n", "L:a\rb|E"},
      {"abcd\n", "L:abcd|E"},
      {"abcd\r\n", "L:abcd|E"},
      {"abcd\r", "L:abcd|E"},
      {"abcde\nxy\n", "T|L:xy|E"},
      {"abcd\rx\nxy", "T|L:xy|E"},
      {std::string(100000, '\0') + "\nok", "T|L:ok|E"},
      {std::string(100000, 'z'), "T|E"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadAll(c.input, 4), c.seen) << c.input.substr(0, 20);
}

}  // namespace
