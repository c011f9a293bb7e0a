// Where console text goes, in which language and in which encoding.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

// 1 (any nonzero value): English texts; 0: Chinese texts.
extern int32_t UiLanguage;
// On: step messages and per-step progress. Off: one overall progress line.
extern bool LogMode;

// Standard output unless a test redirects it; nullptr restores std::cout.
std::ostream& ConsoleOut();
void SetConsoleOut(std::ostream* stream);

enum class ConsoleEncoding { Utf8, Gbk };
void SetConsoleEncoding(ConsoleEncoding encoding);

// A UTF-8 text as bytes for the console's encoding.
std::string ToConsoleEncoding(std::string_view utf8);

// The English or the Chinese form of a text, as UiLanguage picks it, in the
// console's encoding. Both arguments are UTF-8 (English is plain ASCII).
std::string Localized(std::string_view english, std::string_view chinese);
