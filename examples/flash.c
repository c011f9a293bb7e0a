/* Flashes one program into the chip of the first Orvel bootloader attached
 * (or the one the second argument selects), with liborvel:
 *   cc flash.c $(pkg-config --cflags --libs orvel) -o flash
 *   ./flash app.hex [DEVICE]
 * A .hex file goes to its own addresses; a raw binary to 0x8000. */
#include <orvel/orvel.h>
#include <stdio.h>
#include <string.h>

static void show(void* user_data, int step, uint64_t done, uint64_t total) {
  (void)user_data;
  if (total > 0 && done == total) printf("%s: %llu bytes\n", orvel_step_name(step), (unsigned long long)total);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PROGRAM [DEVICE]\n", argv[0]);
    return 2;
  }
  const size_t length = strlen(argv[1]);
  const int hex = length > 4 && strcmp(argv[1] + length - 4, ".hex") == 0;
  orvel_session* session = orvel_session_new();
  if (session == NULL) return 1;
  orvel_set_device(session, argc > 2 ? argv[2] : NULL);
  orvel_set_progress(session, show, NULL);
  orvel_add_program_file(session, argv[1], hex ? ORVEL_ADDRESS_FROM_FILE : 0x8000);
  const int status = orvel_flash(session);
  for (size_t i = 0; i < orvel_reason_count(session); ++i) {
    fprintf(stderr, "%s\n", orvel_reason_text(session, i));
  }
  printf("%s: %s\n", orvel_version(), orvel_status_name(status));
  orvel_session_free(session);
  return status == ORVEL_OK ? 0 : 1;
}
