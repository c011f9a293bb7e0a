// Reading text one line at a time with a bound on what is kept, so that a
// line without end (a stream of zeros, a file with no line break) never
// grows memory: the shell's input and the shell's history file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum class LineRead {
  Line,     // a whole line, without its line end
  TooLong,  // more than the limit: what is read is dropped, the rest of the line is still unread
  End,      // the input ended before a byte of a new line
};

// Reads one line through nextByte (a byte as 0..255, or EOF). The line ends
// at "\n" or at the end of the input; a "\r" right before its end is no part
// of it, as lines written on Windows end in "\r\n". At most limit bytes are
// kept: TooLong as soon as there are more, so that the caller can say so at
// once and then SkipRestOfLine.
template <typename NextByte>
LineRead ReadBoundedLine(NextByte&& nextByte, std::string& line, size_t limit) {
  line.clear();
  bool anyByte = false;
  bool pendingReturn = false;  // a "\r" that ends the line if "\n" follows
  for (;;) {
    const int c = nextByte();
    if (c == EOF) return anyByte ? LineRead::Line : LineRead::End;
    anyByte = true;
    if (c == '\n') return LineRead::Line;
    if (pendingReturn) {
      if (line.size() == limit) return LineRead::TooLong;
      line.push_back('\r');
      pendingReturn = false;
    }
    if (c == '\r') {
      pendingReturn = true;
      continue;
    }
    if (line.size() == limit) return LineRead::TooLong;
    line.push_back(static_cast<char>(c));
  }
}

// Reads and drops bytes up to the next "\n" (consumed) or the end of the input.
template <typename NextByte>
void SkipRestOfLine(NextByte&& nextByte) {
  for (int c = nextByte(); c != EOF && c != '\n'; c = nextByte()) {
  }
}
