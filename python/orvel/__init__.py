"""Flash Orvel chips through their ROM bootloader over USB HID.

A pure-Python layer over liborvel (the engine of the orvel-dfu tool) through
ctypes. The library is found through the environment variable ORVEL_LIBRARY
when it is set, then beside this package, then on the system's library path.

    import orvel
    orvel.flash([("app.hex", None), ("data.bin", 0x40000)], device="1-2.3")

Every failure of a job raises FlashError, whose .reasons lists
(severity, text) pairs; bad arguments raise ValueError. Ctrl+C during a job
stops it before its next packet (no restart is sent: the chip stays in its
bootloader) and raises KeyboardInterrupt. Calls on different devices from
different threads run at the same time.
"""

import ctypes
import ctypes.util
import os
import threading

__all__ = ["Device", "Error", "FlashError", "flash", "list_devices", "read", "verify", "version"]

ADDRESS_FROM_FILE = 0xFFFFFFFF
LARGEST_FLASH_END = 0x100000

_OK = 0
_ARGUMENT = -1
_STOPPED = -5
_SEVERITIES = {0: "error", 1: "warning", 2: "note"}
_LANGUAGES = {"en": 0, "zh": 1}
_FIELDS = ("path", "serial", "location", "state", "description")

_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint64, ctypes.c_uint64)


class Error(Exception):
    """Anything that went wrong in the library."""


class FlashError(Error):
    """A job that failed: .status names how ("no-device", "failed", ...),
    .reasons lists (severity, text) pairs, str() is the first error's text."""

    def __init__(self, status, reasons):
        self.status = status
        self.reasons = reasons
        errors = [text for severity, text in reasons if severity == "error"]
        super().__init__(errors[0] if errors else status)


class Device:
    """One bootloader interface as a listing shows it."""

    __slots__ = _FIELDS

    def __init__(self, **fields):
        for name in _FIELDS:
            setattr(self, name, fields[name])

    def __repr__(self):
        return "Device(%s)" % ", ".join("%s=%r" % (name, getattr(self, name)) for name in _FIELDS)


def _library_candidates():
    named = os.environ.get("ORVEL_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in ("liborvel.so.0", "liborvel.so", "orvel.dll",
                                                    "liborvel.dll", "liborvel.0.dylib", "liborvel.dylib")]
    system = [ctypes.util.find_library("orvel"), "liborvel.so.0"]
    return [path for path in beside if os.path.exists(path)] + [name for name in system if name]


def _declare(lib):
    session = ctypes.c_void_p
    signatures = {
        "orvel_version": ([], ctypes.c_char_p),
        "orvel_status_name": ([ctypes.c_int], ctypes.c_char_p),
        "orvel_step_name": ([ctypes.c_int], ctypes.c_char_p),
        "orvel_session_new": ([], session),
        "orvel_session_free": ([session], None),
        "orvel_set_language": ([session, ctypes.c_int], ctypes.c_int),
        "orvel_set_device": ([session, ctypes.c_char_p], ctypes.c_int),
        "orvel_set_flash_size": ([session, ctypes.c_int], ctypes.c_int),
        "orvel_set_verify": ([session, ctypes.c_int], ctypes.c_int),
        "orvel_set_wait": ([session, ctypes.c_int, ctypes.c_uint32], ctypes.c_int),
        "orvel_set_progress": ([session, _PROGRESS, ctypes.c_void_p], ctypes.c_int),
        "orvel_add_program_file": ([session, ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
        "orvel_add_program_bytes": ([session, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t,
                                     ctypes.c_uint32], ctypes.c_int),
        "orvel_check": ([session], ctypes.c_int),
        "orvel_flash": ([session], ctypes.c_int),
        "orvel_verify": ([session], ctypes.c_int),
        "orvel_read": ([session, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
        "orvel_cancel": ([session], None),
        "orvel_list": ([session], ctypes.c_int),
        "orvel_device_count": ([session], ctypes.c_size_t),
        "orvel_device_field": ([session, ctypes.c_size_t, ctypes.c_int], ctypes.c_char_p),
        "orvel_reason_count": ([session], ctypes.c_size_t),
        "orvel_reason_severity": ([session, ctypes.c_size_t], ctypes.c_int),
        "orvel_reason_text": ([session, ctypes.c_size_t], ctypes.c_char_p),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    return lib


_lib = None
_lib_lock = threading.Lock()


def _library():
    global _lib
    with _lib_lock:
        if _lib is None:
            tried = []
            for candidate in _library_candidates():
                try:
                    _lib = _declare(ctypes.CDLL(candidate))
                    break
                except OSError as error:
                    tried.append("%s (%s)" % (candidate, error))
            else:
                raise Error("liborvel not found; set ORVEL_LIBRARY to its path. Tried: " +
                            ("; ".join(tried) or "nothing"))
        return _lib


def _text(raw):
    return raw.decode("utf-8", "replace") if raw is not None else ""


def version():
    """The engine's version line, "Orvel ROM DFU V0.0.1"."""
    return _text(_library().orvel_version())


class _Session:
    """One library session, freed on leaving the with-block."""

    def __init__(self, device, language, wait=False, timeout=None, flash_size=1, verify=True, progress=None):
        if language not in _LANGUAGES:
            raise ValueError("language must be 'en' or 'zh', not %r" % (language,))
        if flash_size not in (0, 1, 2):
            raise ValueError("flash_size must be 0 (256 KB), 1 (512 KB) or 2 (1 MB), not %r" % (flash_size,))
        if timeout is not None and not (isinstance(timeout, (int, float)) and 0 < timeout <= 2147483.647):
            raise ValueError("timeout must be a number of seconds above 0, not %r" % (timeout,))
        if device is not None and not isinstance(device, str):
            raise ValueError("device must be a path, serial number or USB location, not %r" % (device,))
        if progress is not None and not callable(progress):
            raise ValueError("progress must be callable")
        self.lib = _library()
        self.handle = self.lib.orvel_session_new()
        if not self.handle:
            raise MemoryError("no memory for an orvel session")
        self.failure = None
        self._callback = None
        try:
            self._check(self.lib.orvel_set_language(self.handle, _LANGUAGES[language]))
            self._check(self.lib.orvel_set_device(self.handle, device.encode() if device else None))
            self._check(self.lib.orvel_set_flash_size(self.handle, flash_size))
            self._check(self.lib.orvel_set_verify(self.handle, 1 if verify else 0))
            timeout_ms = 0 if timeout is None else max(1, int(round(timeout * 1000)))
            self._check(self.lib.orvel_set_wait(self.handle, 1 if wait else 0, timeout_ms))
            if progress is not None:
                self._set_progress(progress)
        except BaseException:
            self.__exit__()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.lib.orvel_session_free(self.handle)
        self.handle = None

    def _set_progress(self, progress):
        step_names = {}

        def tell(_user, step, done, total):
            try:
                if step not in step_names:
                    step_names[step] = _text(self.lib.orvel_step_name(step))
                progress(step_names[step], done, total)
            except BaseException as error:  # the callback's failure ends the job, then is raised
                self.failure = error
                self.lib.orvel_cancel(self.handle)

        self._callback = _PROGRESS(tell)  # kept alive while the library holds it
        self._check(self.lib.orvel_set_progress(self.handle, self._callback, None))

    def reasons(self):
        count = self.lib.orvel_reason_count(self.handle)
        return [(_SEVERITIES.get(self.lib.orvel_reason_severity(self.handle, i), "error"),
                 _text(self.lib.orvel_reason_text(self.handle, i))) for i in range(count)]

    def _check(self, status):
        if status == _OK:
            return
        if status == _ARGUMENT:
            raise ValueError("; ".join(text for _, text in self.reasons()))
        raise FlashError(_text(self.lib.orvel_status_name(status)), self.reasons())

    def add_programs(self, programs):
        if isinstance(programs, (str, bytes, os.PathLike)) or not programs:
            raise ValueError("programs must be a non-empty list of (file or bytes, address) pairs")
        for entry in programs:
            if not isinstance(entry, (tuple, list)) or len(entry) != 2:
                raise ValueError("a program is a (file or bytes, address) pair, not %r" % (entry,))
            source, address = entry
            if address is not None and not (isinstance(address, int) and 0 <= address <= 0xFFFFFFFF):
                raise ValueError("an address is None or a number from 0 to 0xFFFFFFFF, not %r" % (address,))
            if isinstance(source, (bytes, bytearray, memoryview)):
                if address is None:
                    raise ValueError("raw bytes need an address; None takes a HEX file's own")
                data = bytes(source)
                if not data:
                    raise ValueError("a program of raw bytes must hold at least one byte")
                self._check(self.lib.orvel_add_program_bytes(self.handle, b"(bytes)", data, len(data), address))
            elif isinstance(source, (str, os.PathLike)):
                path = os.fsencode(source)
                if not path:
                    raise ValueError("a program's path is empty")
                self._check(self.lib.orvel_add_program_file(
                    self.handle, path, ADDRESS_FROM_FILE if address is None else address))
            else:
                raise ValueError("a program is a file path or bytes, not %r" % (source,))

    def run(self, job, *args):
        """Runs a job; Ctrl+C in the main thread stops it at its next packet."""
        if threading.current_thread() is not threading.main_thread():
            status = job(self.handle, *args)
        else:
            status = self._run_beside(job, *args)
        if self.failure is not None:
            raise self.failure
        if status == _STOPPED:
            raise KeyboardInterrupt
        self._check(status)

    def _run_beside(self, job, *args):
        # The job runs on a thread of its own while this one waits: the wait
        # is where Python delivers Ctrl+C, which then stops the job, whose
        # device is released before anything is raised. An event tells that
        # the job has ended, not Thread.join: a join that Ctrl+C interrupts
        # may take a thread that still runs for ended (Python 3.11), and the
        # session would then be freed under the job.
        result = []
        ended = threading.Event()

        def work():
            try:
                result.append(job(self.handle, *args))
            finally:
                ended.set()

        threading.Thread(target=work, daemon=True).start()
        try:
            while not ended.wait(0.1):
                pass
        except KeyboardInterrupt:
            self.lib.orvel_cancel(self.handle)
            while not ended.is_set():
                try:
                    ended.wait(0.1)
                except KeyboardInterrupt:
                    pass  # the job is stopping already; it must end before its session goes
            raise
        return result[0]


def list_devices(device=None, language="en"):
    """Every bootloader attached (or the ones device names), each claimed,
    opened and probed, then let go: objects with .path .serial .location
    .state ("free", "busy", "no-access", "silent") and .description."""
    with _Session(device, language) as session:
        session._check(session.lib.orvel_list(session.handle))
        devices = []
        for index in range(session.lib.orvel_device_count(session.handle)):
            fields = {name: _text(session.lib.orvel_device_field(session.handle, index, number))
                      for number, name in enumerate(_FIELDS)}
            devices.append(Device(**fields))
        return devices


def flash(programs, device=None, flash_size=1, verify=True, wait=False, timeout=None, progress=None,
          language="en"):
    """Flashes the programs, a list of (file or bytes, address) pairs (None:
    a HEX file's own addresses), into the selected bootloader's chip: erase,
    download, read back and compare when verify, restart.

    progress(step, done, total) follows the job: step is "connect", "erase",
    "download", "verify" or "restart"; done and total are its bytes. Called
    from the main thread, the job runs on a thread of its own (so that Ctrl+C
    can stop it), and progress is called there."""
    with _Session(device, language, wait, timeout, flash_size, verify, progress) as session:
        session.add_programs(programs)
        session.run(session.lib.orvel_flash)


def verify(programs, device=None, flash_size=1, wait=False, timeout=None, progress=None, language="en"):
    """Compares the programs with the chip's flash; writes nothing, sends no
    restart. FlashError at the first difference."""
    with _Session(device, language, wait, timeout, flash_size, True, progress) as session:
        session.add_programs(programs)
        session.run(session.lib.orvel_verify)


def read(address, length, device=None, wait=False, timeout=None, progress=None, language="en"):
    """length bytes of the chip's flash from address, as bytes. No restart."""
    for name, value in (("address", address), ("length", length)):
        if not isinstance(value, int) or value < 0:
            raise ValueError("%s must be a number of 0 or more, not %r" % (name, value))
    if length < 1 or address + length > LARGEST_FLASH_END:
        raise ValueError("the range must hold 1 byte or more and end by 0x%X (1 MB)" % LARGEST_FLASH_END)
    with _Session(device, language, wait, timeout, progress=progress) as session:
        buffer = ctypes.create_string_buffer(length)
        session.run(session.lib.orvel_read, address, buffer, length)
        return buffer.raw
