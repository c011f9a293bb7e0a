// The page's view of a job as it runs: liborvel's progress callback, handed
// on to the board's row through Module.onProgress (each board has a module
// instance of its own). Everything else the page asks of the core goes
// through the library's C API (include/orvel/orvel.h) directly.
#include <emscripten.h>

#include "orvel/orvel.h"

namespace {

EM_JS(void, PageProgress, (int step, double done, double total), { Module.onProgress(step, done, total); });

void Forward(void* /*user*/, int step, uint64_t done, uint64_t total) {
  PageProgress(step, static_cast<double>(done), static_cast<double>(total));
}

}  // namespace

// Has the session's jobs tell the page how far they have come.
extern "C" EMSCRIPTEN_KEEPALIVE int orvel_page_follow_progress(orvel_session* session) {
  return orvel_set_progress(session, Forward, nullptr);
}
