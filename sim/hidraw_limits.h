// What a hidraw node keeps for each file that has it open.
#pragma once

#include <cstddef>

namespace sim {

// Input reports that have arrived and wait for one open handle: hidraw keeps
// them in a ring of 64 slots with one always free, and a report that finds
// the ring full is lost for that handle while the older ones stay.
constexpr size_t kInputQueueLimit = 63;

}  // namespace sim
