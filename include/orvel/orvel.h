/*
 * liborvel: the Orvel DFU engine as a C library. It finds the Orvel ROM
 * bootloader on USB HID, flashes programs into the chip (erase, download,
 * read back and compare, restart), compares programs with the flash, reads
 * the flash, and lists the attached bootloaders: the same engine as the
 * orvel-dfu tool.
 *
 * A session holds the settings, the programs and the reasons of its last
 * call. Each session is used by one thread at a time; sessions on different
 * devices run at the same time on different threads. orvel_cancel may be
 * called from any thread. Nothing in the library writes to standard output
 * or standard error: what went wrong comes back as reason records.
 *
 * Strings are UTF-8. A string the library returns stays valid until the
 * next call on the same session (orvel_version's and orvel_status_name's
 * for ever).
 */
#ifndef ORVEL_ORVEL_H
#define ORVEL_ORVEL_H

#include <stddef.h>
#include <stdint.h>

#if defined(ORVEL_STATIC)
#define ORVEL_API
#elif defined(__EMSCRIPTEN__)
#define ORVEL_API __attribute__((used, visibility("default")))
#elif defined(_WIN32)
#if defined(ORVEL_BUILDING_LIBRARY)
#define ORVEL_API __declspec(dllexport)
#else
#define ORVEL_API __declspec(dllimport)
#endif
#else
#define ORVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct orvel_session orvel_session;

/* What a call returns. Every status but ORVEL_OK leaves at least one error
 * among the session's reasons (but for a NULL session or no memory). */
enum orvel_status {
  ORVEL_OK = 0,
  ORVEL_ERROR_ARGUMENT = -1,  /* an argument out of its range */
  ORVEL_ERROR_REFUSED = -2,   /* the programs or settings were refused; no device was touched */
  ORVEL_ERROR_NO_DEVICE = -3, /* no bootloader could be connected */
  ORVEL_ERROR_FAILED = -4,    /* the job failed on the device (erase, download, read, compare) */
  ORVEL_ERROR_STOPPED = -5,   /* orvel_cancel stopped it */
  ORVEL_ERROR_MEMORY = -6     /* not enough memory */
};

/* "ok", "argument", "refused", "no-device", "failed", "stopped", "memory";
 * "unknown" for any other number. */
ORVEL_API const char* orvel_status_name(int status);

/* The engine's version line, "Orvel ROM DFU V0.0.1". */
ORVEL_API const char* orvel_version(void);

/* A new session: any bootloader, flash size 1 (512 KB), read back after
 * download, no waiting, English reasons, no programs. NULL without memory. */
ORVEL_API orvel_session* orvel_session_new(void);
/* Closes a device still open and frees everything; NULL does nothing. */
ORVEL_API void orvel_session_free(orvel_session* session);

/* The language of the reason texts. */
enum orvel_language { ORVEL_ENGLISH = 0, ORVEL_CHINESE = 1 };
ORVEL_API int orvel_set_language(orvel_session* session, int language);

/* Only the bootloader whose device path, serial number or USB location
 * ("1-2.3") equals selector; NULL or "" for any. A selector that names
 * several attached bootloaders is refused when a job connects. */
ORVEL_API int orvel_set_device(orvel_session* session, const char* selector);
/* 0: 256 KB chip (programs up to 0x3F000), 1: 512 KB (0x7F000), 2: 1 MB
 * (0xFF000). */
ORVEL_API int orvel_set_flash_size(orvel_session* session, int flash_size);
/* Nonzero: every program is read back and compared after the download. */
ORVEL_API int orvel_set_verify(orvel_session* session, int verify);
/* wait nonzero: the connect step waits for a bootloader to attach, for at
 * most timeout_ms milliseconds (0: no limit; orvel_cancel ends the wait).
 * wait 0: it looks once. */
ORVEL_API int orvel_set_wait(orvel_session* session, int wait, uint32_t timeout_ms);

/* The steps of a job, as the progress callback names them. */
enum orvel_step {
  ORVEL_STEP_CONNECT = 0,
  ORVEL_STEP_ERASE = 1,
  ORVEL_STEP_DOWNLOAD = 2,
  ORVEL_STEP_VERIFY = 3,
  ORVEL_STEP_READ = 4,
  ORVEL_STEP_RESTART = 5
};
/* "connect", "erase", "download", "verify", "read", "restart"; "unknown"
 * otherwise. */
ORVEL_API const char* orvel_step_name(int step);

/* Called on the thread that runs the job: once as each step starts (done 0),
 * then as it moves on, with the bytes of the step done so far and its bytes
 * in all (erase: the bytes of the regions erased; connect and restart: 0 of
 * 0). Download, verify and read move before each packet; erase after each
 * region. */
typedef void (*orvel_progress_fn)(void* user_data, int step, uint64_t done, uint64_t total);
/* fn NULL: no calls. */
ORVEL_API int orvel_set_progress(orvel_session* session, orvel_progress_fn fn, void* user_data);

/* The address that takes an Intel HEX file's own addresses. */
#define ORVEL_ADDRESS_FROM_FILE 0xFFFFFFFFu

/* Adds a program file: a raw binary placed at address, or an Intel HEX file
 * (extension .hex, any case) at its own addresses with
 * ORVEL_ADDRESS_FROM_FILE or moved so that its lowest byte lands at address.
 * An address off a 256-byte boundary gets 0xFF filler in front. The file is
 * read when a job or orvel_check runs. */
ORVEL_API int orvel_add_program_file(orvel_session* session, const char* path, uint32_t address);
/* Adds size raw bytes placed at address, copied now; name names them in
 * reasons. */
ORVEL_API int orvel_add_program_bytes(orvel_session* session, const char* name, const uint8_t* data,
                                      size_t size, uint32_t address);
ORVEL_API int orvel_clear_programs(orvel_session* session);

/* Loads the programs and checks them against the flash size and each other,
 * touching no device. ORVEL_ERROR_REFUSED with the reasons otherwise. */
ORVEL_API int orvel_check(orvel_session* session);
/* The whole job on the selected bootloader: connect, erase, download, read
 * back and compare (when verify is on), restart. After a failure nothing is
 * undone and no restart is sent: the chip stays in its bootloader. */
ORVEL_API int orvel_flash(orvel_session* session);
/* Reads back every program and compares it with the flash; erases, writes
 * and restarts nothing. ORVEL_ERROR_FAILED at the first difference. */
ORVEL_API int orvel_verify(orvel_session* session);
/* Reads length bytes of flash from address into buffer; the range lies in
 * the largest flash (up to 0x100000). No restart. */
ORVEL_API int orvel_read(orvel_session* session, uint32_t address, uint8_t* buffer, uint32_t length);

/* The programs as the last orvel_check, orvel_flash or orvel_verify loaded
 * and placed them, in address order: how many, each one's name (its path, or
 * the name given with its bytes), its start in flash (0xFF filler in front
 * included), its length and the CRC-32 of the bytes the flash receives (as
 * zlib's crc32 computes it). NULL pointers are not filled. */
ORVEL_API size_t orvel_program_count(const orvel_session* session);
ORVEL_API const char* orvel_program_name(const orvel_session* session, size_t index);
ORVEL_API int orvel_program_layout(const orvel_session* session, size_t index, uint32_t* start, uint32_t* length,
                                   uint32_t* crc32);

/* Stops the job running on the session before its next packet (or ends its
 * wait for a device), sending no restart; it returns ORVEL_ERROR_STOPPED.
 * Called while no job runs, it stops the next one at once. Safe from any
 * thread and from a signal handler. */
ORVEL_API void orvel_cancel(orvel_session* session);

/* Lists the bootloaders the session's selector names: each is claimed,
 * opened and probed, then let go. Reasons say why one cannot be opened. */
ORVEL_API int orvel_list(orvel_session* session);
ORVEL_API size_t orvel_device_count(const orvel_session* session);
enum orvel_device_field {
  ORVEL_FIELD_PATH = 0,
  ORVEL_FIELD_SERIAL = 1,      /* "" when the device has none */
  ORVEL_FIELD_LOCATION = 2,    /* the USB location, "1-2.3"; "" when unknown */
  ORVEL_FIELD_STATE = 3,       /* "free", "busy", "no-access" or "silent" */
  ORVEL_FIELD_DESCRIPTION = 4  /* "Orvel ROM Bootloader(HID\VID_...&PID_C081&REV_...)" */
};
/* A field of the index-th device listed; NULL for no such device or field. */
ORVEL_API const char* orvel_device_field(const orvel_session* session, size_t index, int field);

/* Why the last call that did the session's work (check, flash, verify,
 * read, list), or the last argument refused, went as it did: errors,
 * warnings and notes. Setting the language keeps them, so that they can be
 * read again in the other. */
enum orvel_severity { ORVEL_SEVERITY_ERROR = 0, ORVEL_SEVERITY_WARNING = 1, ORVEL_SEVERITY_NOTE = 2 };
ORVEL_API size_t orvel_reason_count(const orvel_session* session);
/* -1 for no such reason. */
ORVEL_API int orvel_reason_severity(const orvel_session* session, size_t index);
/* The text in the session's language; NULL for no such reason. */
ORVEL_API const char* orvel_reason_text(const orvel_session* session, size_t index);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_ORVEL_H */
