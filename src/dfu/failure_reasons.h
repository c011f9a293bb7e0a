// Reasons for what went wrong with the device, built from the link's failure
// record and from replies that failed their test, and put in the context of
// the step that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/reason.h"

struct LinkFailure;

// Bytes as the tool shows them in reasons: "1A 55 00".
std::string HexBytes(const uint8_t* bytes, size_t count);

// Why the link's last exchange gave no good reply (the device gone, no reply
// within timeoutMs, no device open).
void AddLinkFailure(Reasons* why, const LinkFailure& failure, int32_t timeoutMs);

// A stop the caller asked for (its cancel flag), tagged so that the tool
// can say what the stop left on the chip. Returns false, as the step does.
bool AddStopped(Reasons* why, std::string english, std::string chinese, std::vector<std::string> args = {});

// What a reply that failed its test should have been.
enum class ExpectedReply {
  Echo,             // the request sent back (probe, erase, download start)
  DataAccepted,     // 1A 70 or 1A 71 (download data)
  FlashData,        // 1A 60 and the bytes asked for (read)
};

// A reply that came but failed its test: in words what it should have
// been, then the bytes expected (expectedBytes; unused for DataAccepted)
// and received.
void AddWrongReply(Reasons* why, ExpectedReply expected, const std::string& expectedBytes,
                   const uint8_t* received, size_t count);

// Adds each of `happened` to why as one line: the context's text, then the
// reason's own (its placeholders numbered on after the context's arguments).
// The severity is the reason's own.
void AddInContext(Reasons* why, const Reasons& happened, const std::string& english,
                  const std::string& chinese, const std::vector<std::string>& args);
