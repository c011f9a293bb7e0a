// Whether poll() finds an emulated hidraw node readable exactly while a
// reply waits in it: quiet at first, ready once a probe is answered, quiet
// again once the reply is read. Prints one word per step, e.g.
//   quiet ready 1A55 quiet
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

namespace {

const char* Readiness(int fd, int timeoutMs) {
  pollfd node{fd, POLLIN, 0};
  return poll(&node, 1, timeoutMs) == 1 ? "ready" : "quiet";
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = argc == 2 ? open(argv[1], O_RDWR) : -1;
  if (fd < 0) return 1;
  std::printf("%s ", Readiness(fd, 100));
  unsigned char probe[65] = {0x00, 0x1A, 0x55};  // report ID 0, then the report
  if (write(fd, probe, sizeof probe) != sizeof probe) return 1;
  std::printf("%s ", Readiness(fd, 1000));
  unsigned char reply[64] = {};
  if (read(fd, reply, sizeof reply) != sizeof reply) return 1;
  std::printf("%02X%02X ", reply[0], reply[1]);
  std::printf("%s\n", Readiness(fd, 100));
  close(fd);
  return 0;
}
