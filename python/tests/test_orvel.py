"""The package against virtual bootloaders under orvel-sim (run_under_sim.sh):
device 0 holds samples/blinky.bin at 0x8000, device 3 fails its 20th data
packet, and each device is flashed by one test only (a flashed chip leaves
its bootloader)."""

import _thread
import os
import threading

import pytest

import orvel

BLINKY = os.path.join(os.path.dirname(__file__), "..", "..", "samples", "blinky.bin")


def pattern(length, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(length))


def test_version_and_list():
    assert orvel.version() == "Orvel ROM DFU V0.0.1"
    devices = orvel.list_devices()
    assert [(d.path, d.serial, d.location, d.state) for d in devices] == [
        ("/dev/hidraw%d" % n, "ORVEL-SIM-%d" % n, "1-2.%d" % (n + 1), "free") for n in range(5)]
    assert devices[0].description.startswith("Orvel")
    assert [d.location for d in orvel.list_devices(device="ORVEL-SIM-2")] == ["1-2.3"]


def test_read_and_verify_give_the_flash_back():
    with open(BLINKY, "rb") as f:
        blinky = f.read()
    assert orvel.read(0x8000, len(blinky), device="ORVEL-SIM-0") == blinky
    orvel.verify([(BLINKY, 0x8000)], device="1-2.1")
    changed = bytearray(blinky)
    changed[100] ^= 0x10
    with pytest.raises(orvel.FlashError) as failure:
        orvel.verify([(bytes(changed), 0x8000)], device="1-2.1")
    assert failure.value.status == "failed"
    assert "first difference at 0x%08X" % (0x8000 + 100) in str(failure.value)


def test_two_boards_from_two_threads_at_once(tmp_path):
    first = pattern(0x10000, 1)  # 64 KiB: lengths past 16 bits
    (tmp_path / "first.bin").write_bytes(first)
    second = pattern(0x4321, 2)
    steps = {"1-2.2": [], "1-2.3": []}
    failures = []

    def flash(location, programs):
        try:
            orvel.flash(programs, device=location, flash_size=2, verify=True,
                        progress=lambda step, done, total: steps[location].append((step, done, total)))
        except Exception as error:  # reported below, in the test's thread
            failures.append(error)

    threads = [threading.Thread(target=flash, args=("1-2.2", [(str(tmp_path / "first.bin"), 0x20000)])),
               threading.Thread(target=flash, args=("1-2.3", [(second, 0x8000)]))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for location, length in (("1-2.2", 0x10000), ("1-2.3", 0x4321)):
        seen = steps[location]
        starts = [step for step, done, _total in seen if done == 0]
        assert starts == ["connect", "erase", "download", "verify", "restart"]
        assert ("download", length, length) in seen and ("verify", length, length) in seen
        assert seen[-1] == ("restart", 0, 0)
    # Flashed chips restart and leave their bootloaders.
    assert [d.location for d in orvel.list_devices()] == ["1-2.1", "1-2.4", "1-2.5"]


def test_device_failure_raises_with_the_address(capfd):
    with pytest.raises(orvel.FlashError) as failure:
        orvel.flash([(pattern(0x2000, 3), 0xA000)], device="ORVEL-SIM-3")
    assert failure.value.status == "failed"
    assert str(failure.value) == (
        "download of (bytes) (0x0000A000..0x0000C000) failed at 0x0000A49A: the bootloader did not accept "
        "the data: expected 1A 70 or 1A 71, received 1A 00")
    assert failure.value.reasons[0][0] == "error"
    assert capfd.readouterr() == ("", "")  # the library writes nothing itself


@pytest.mark.parametrize("call", [
    lambda: orvel.flash([(b"\x01", 0)], flash_size=3),
    lambda: orvel.flash([(b"\x01", -1)]),
    lambda: orvel.flash([(b"\x01", None)]),
    lambda: orvel.flash([]),
    lambda: orvel.flash([(b"", 0)]),
    lambda: orvel.flash([(b"\x01", 0)], timeout=0),
    lambda: orvel.read(0x8000, 0),
    lambda: orvel.read(0xFFF00, 0x200),
    lambda: orvel.verify([(b"\x01", 0)], language="fr"),
])
def test_bad_arguments_raise_value_error(call):
    with pytest.raises(ValueError):
        call()


def test_refused_programs_and_missing_device_raise_flash_error(tmp_path):
    with pytest.raises(orvel.FlashError) as refused:
        orvel.flash([(str(tmp_path / "missing.bin"), 0x8000)], device="1-2.1")
    assert refused.value.status == "refused" and "missing.bin" in str(refused.value)
    with pytest.raises(orvel.FlashError) as missing:
        orvel.flash([(b"\x01", 0x8000)], device="1-2.9")
    assert missing.value.status == "no-device"
    # Hints that name the tool's command-line options are not for callers.
    assert not any("-w 1" in text or "--list" in text for _, text in missing.value.reasons)


def test_ctrl_c_stops_the_job_and_leaves_the_chip_in_its_bootloader():
    # One Ctrl+C: later progress calls before the stop takes effect would
    # otherwise interrupt the test itself once the job has ended.
    pressed = []

    def interrupt(step, done, total):
        if step == "download" and done > 0 and not pressed:
            pressed.append(step)
            _thread.interrupt_main()

    with pytest.raises(KeyboardInterrupt):
        orvel.flash([(pattern(0x8000, 4), 0x8000)], device="1-2.5", progress=interrupt)
    assert [d.state for d in orvel.list_devices(device="1-2.5")] == ["free"]
