// Preloaded by orvel-sim into its command: umockdev's preload library calls
// usleep(0) after every read and write on an emulated node, to let the other
// side run. In the kernel that is a timer that expires at once: a timer
// interrupt and a wake-up, twice per exchange, which on a virtual machine
// cost as much as the exchange itself. Those calls, and only those, yield
// the processor instead; the command's own usleep() calls are untouched.
#include <dlfcn.h>
#include <link.h>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

namespace {

// The executable code of umockdev's preload library, found once at start-up
// (it is preloaded, so it is loaded before this library's constructor runs).
uintptr_t gUmockdevCodeBegin = 0;
uintptr_t gUmockdevCodeEnd = 0;

int FindUmockdevCode(dl_phdr_info* info, size_t, void*) {
  if (info->dlpi_name == nullptr || strstr(info->dlpi_name, "libumockdev-preload") == nullptr) {
    return 0;
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    const uintptr_t end = begin + segment.p_memsz;
    if (gUmockdevCodeBegin == 0 || begin < gUmockdevCodeBegin) gUmockdevCodeBegin = begin;
    if (end > gUmockdevCodeEnd) gUmockdevCodeEnd = end;
  }
  return 1;
}

__attribute__((constructor)) void LocateUmockdev() { dl_iterate_phdr(FindUmockdevCode, nullptr); }

bool FromUmockdev(const void* caller) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(caller);
  return address >= gUmockdevCodeBegin && address < gUmockdevCodeEnd;
}

}  // namespace

extern "C" int usleep(useconds_t microseconds) {
  if (microseconds == 0 && FromUmockdev(__builtin_return_address(0))) return sched_yield();
  using Usleep = int (*)(useconds_t);
  return reinterpret_cast<Usleep>(dlsym(RTLD_NEXT, "usleep"))(microseconds);
}
