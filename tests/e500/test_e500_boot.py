"""The boot road of the cross-built bootmgr on the emulated e500 system: a
real PowerPC kernel's MTD, I2C and serial drivers under the boot manager,
big-endian from the flash to the NVRAM."""

from __future__ import annotations

import io

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH, expect_lines
from images import corrupt, demo_dir

APP = "/tmp/home/bin/mp.elf.strip"
BOOT_TIMEOUT = 120


def slot_path(board, slot):
    return board.user / "images" / f"image{slot}"


def corrupt_slot(slot):
    def fix(board):
        corrupt(slot_path(board, slot))
    return fix


def gdb_in_slot(slot):
    def fix(board):
        slot_path(board, slot).write_bytes((demo_dir() / "gdb.img").read_bytes())
    return fix


def both(*fixes):
    def fix(board):
        for f in fixes:
            f(board)
    return fix


# name, change to the demo board, NVRAM bootSlot, environment, console lines
# in order, the launcher recorded (None: the road ends in a reboot request),
# its arguments, NVRAM bootedImage afterwards.
ROADS = [
    ("demo_slot_1", None, 1, {},
     ["Booting image '1'", "Running install script", "Demo application of image 1, version 1.0.0.1",
      "From env-setup: DEMO_IMAGE=1 DEMO_VERSION=1.0.0.1 DEMO_GREETING=hello-from-slot-1"],
     "/bin/backtrace", [], 1),
    ("nvram_chooses_slot_2", None, 2, {},
     ["Booting image '2'", "Demo application of image 2"], "/bin/backtrace", [], 2),
    ("crc_failure_falls_back_to_slot_2", corrupt_slot(1), 1, {},
     ["Booting image '1'", "Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "Demo application of image 2"], "/bin/backtrace", [], 2),
    ("both_slots_bad_reboot", both(corrupt_slot(1), corrupt_slot(2)), 1, {},
     ["Image1 CRC failed, trying Image2 now.", "Booting image '2'", "Both image1 and image2 failed."],
     None, None, 0xFF),
    ("gdbserver_flag", None, 1, {"gdbserver": "on"},
     ["Booting image '1'", "Listening on port 1234", "Demo application of image 1"],
     "/bin/gdbserver", [":1234", APP], 1),
    ("gdbserver_port_from_environment", None, 2, {"gdbserver": "on", "gdbport": "2345"},
     ["Booting image '2'", "Listening on port 2345", "Demo application of image 2"],
     "/bin/gdbserver", [":2345", APP], 2),
    ("gdb_flag_debugger_from_other_slot", gdb_in_slot(1), 2, {"gdb": "on"},
     ["Booting image '2'", "Extracting GDB from image slot 1", "decompressing GDB....",
      "*** Launching under GDB ***", f"Demo debugger: debugging {APP}", "Demo application of image 2"],
     None, None, 2),
    ("flags_off_boot_normally", None, 1, {"gdb": "off", "gdbserver": "off", "shell": "off"},
     ["Booting image '1'", "Demo application of image 1"], "/bin/backtrace", [], 1),
]


def boot_with_dhcp(board) -> tuple[int, str]:
    """Boots once with the debug server asked for: its management port asks
    first, and the answer is typed once the question is on the console."""
    child = board.spawn_boot(max_boots=1, timeout=BOOT_TIMEOUT)
    shown = io.StringIO()
    child.logfile_read = shown
    child.expect_exact("Use DHCP for network configuration? y/N: ", timeout=BOOT_TIMEOUT)
    child.send("y\r")
    status = board.wait_boot(child, timeout=BOOT_TIMEOUT)
    return status, shown.getvalue().replace("\r", "")


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_boot_road(board, road):
    name, fix, boot_slot, env, lines, launcher, launcher_args, booted = road
    if fix:
        fix(board)
    board.nvram_set(0x100, boot_slot)
    if env:
        board.env_set(**env)
    if env.get("gdbserver") == "on":
        returncode, out = boot_with_dhcp(board)
    else:
        proc = board.boot(max_boots=1, timeout=BOOT_TIMEOUT)
        returncode, out = proc.returncode, proc.stdout.replace("\r", "")
    expect_lines(out, lines)
    execs = board.events("exec")
    if launcher:
        assert returncode == LAUNCHED, out
        assert [(e["program"], e["args"]) for e in execs] == [(launcher, launcher_args)]
    else:
        assert returncode == NO_LAUNCH, out
        assert not execs
        assert board.events("reboot"), "a road without a launcher ends in a reboot request"
    # Written by bootmgr over the kernel's I2C driver into the EEPROM's file.
    assert board.nvram_get(0x13A) == bytes([booted])


def test_shell_flag_gives_a_shell_on_the_serial_console(board):
    board.env_set(shell="on")
    child = board.spawn_boot(max_boots=1, timeout=BOOT_TIMEOUT)
    child.expect_exact("Dropping into shell")
    child.sendline("echo from-the-shell $DEMO_GREETING")
    child.expect_exact("from-the-shell hello-from-slot-1")
    child.sendline("exit")
    child.expect_exact("Dropping out of shell")
    child.expect_exact("Demo application of image 1")
    assert board.wait_boot(child, timeout=BOOT_TIMEOUT) == LAUNCHED


def test_system_clock_is_set_from_the_board_clock(board):
    """The clock at 0x68 on bus 2 gives the date bootmgr hands to busybox date."""
    board.clock("freeze", "2031-05-06T07:08:09")
    board.env_set(shell="on")
    child = board.spawn_boot(max_boots=1, timeout=BOOT_TIMEOUT)
    child.expect_exact("Dropping into shell")
    child.sendline("date -u +%Y-%m-%dT%H:%M")
    child.expect(r"2031-05-06T07:0[89]")
    child.sendline("exit")
    child.expect_exact("Demo application of image 1")
    assert board.wait_boot(child, timeout=BOOT_TIMEOUT) == LAUNCHED


def test_flash_partitions_come_back_to_the_board_folder(board):
    """The boot-loader environment read through the kernel's MTD driver, and
    the flash written back after the run byte for byte."""
    board.env_set(gdbserver="on", my_entry="kept")
    before = {p.name: p.read_bytes() for p in (board.path / "flash").iterdir()}
    returncode, out = boot_with_dhcp(board)
    assert returncode == LAUNCHED, out
    assert "Listening on port 1234" in out
    after = {p.name: p.read_bytes() for p in (board.path / "flash").iterdir()}
    assert after == before
    assert board.env()["my_entry"] == "kept"


def test_reboot_request_starts_the_next_boot(board):
    """A road that gives up reboots the machine; the next boot finds the NVRAM
    as the first left it."""
    corrupt(slot_path(board, 1))
    corrupt(slot_path(board, 2))
    proc = board.boot(max_boots=2, timeout=2 * BOOT_TIMEOUT)
    out = proc.stdout.replace("\r", "")
    assert proc.returncode == NO_LAUNCH, out
    assert out.count("Both image1 and image2 failed.") == 2, out
    assert "e500: boot 2" in out
    assert [e["boot"] for e in board.events("reboot")] == [1, 2]


# Nine NVRAM writes in one boot (boot slot, the seven timestamp bytes, the
# booted image): of these scenarios the most exposed to the lost timer wake-up
# that tools/e500/e500 avoids with -icount.
def test_installer_from_usb_stick(board):
    """A replacement for slot 2 from the stick: read through the kernel's
    file systems, checked, written to slot 2, and the boot slot set over I2C."""
    board.usb_insert()
    board.nvram_set(0x13B, 0xD5)
    board.usb_put("NPX7710_replace2_OS.img", demo_dir() / "image1.img")
    proc = board.boot(max_boots=1, timeout=BOOT_TIMEOUT)
    out = proc.stdout.replace("\r", "")
    assert proc.returncode == LAUNCHED, out
    expect_lines(out, ["USB mounted and ready!",
                       "USB image (file 'NPX7710_replace2_OS.img') replacement for image2 found",
                       "Image2 has been successfully replaced", "Booting image '2'",
                       "Demo application of image 1"])
    assert board.nvram_get(0x100) == bytes([2])
    assert board.nvram_get(0x13A) == bytes([2])


def test_rescue_menu_from_environment(board):
    """The rescue menu on the serial console: the hidden V reads every
    partition's version through the MTD driver, then Exit boots."""
    board.env_set(diagnostics="rescue")
    child = board.spawn_boot(max_boots=1, timeout=BOOT_TIMEOUT)
    shown = io.StringIO()
    child.logfile_read = shown
    child.expect_exact("Option? : ", timeout=BOOT_TIMEOUT)
    child.send("v")
    child.expect_exact("Option? : ")
    child.send("e")
    assert board.wait_boot(child, timeout=BOOT_TIMEOUT) == LAUNCHED
    expect_lines(shown.getvalue().replace("\r", ""),
                 ["Entering Rescue Mode.", "Installed images versions:", "RFS image   : 1.0.0.3",
                  "OS image 1  : 1.0.0.1", "OS image 2  : 1.0.0.2", "Booting image '1'",
                  "Demo application of image 1"])
