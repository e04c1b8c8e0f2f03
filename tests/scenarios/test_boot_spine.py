"""The boot spine on the emulated board: environment flags, the clock, the
slot order and the final reboot, missing and failing devices."""

from __future__ import annotations

import shutil

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH
from images import demo_dir


def install_demo_slots(board, slots=(1, 2), slot2="image2"):
    """Copies demo images into the slots; slot 2 may hold another demo image
    (for example the debugger, "gdb")."""
    images = board.user / "images"
    images.mkdir(parents=True, exist_ok=True)
    for slot in slots:
        name = f"image{slot}" if slot == 1 else slot2
        shutil.copy(demo_dir() / f"{name}.img", images / f"image{slot}")


def console(proc) -> str:
    return proc.stdout.replace("\r", "")


APP = "/tmp/home/bin/mp.elf.strip"

# Environment entries (None: an erased partition), what slot 2 holds, and
# what the launch then does: the exec event of the launcher or debugger
# (program and arguments) and a console line that must appear.
ENV_TABLE = [
    ("erased", None, "image2", "/bin/backtrace", [], None),
    ("empty", {}, "image2", "/bin/backtrace", [], None),
    ("gdbserver_forces_gdb", {"gdbserver": "on", "gdb": "off"}, "image2", "/bin/gdbserver",
     [":1234", APP], None),
    ("gdb_on_gdbserver_off", {"gdb": "on", "gdbserver": "off"}, "gdb", "/tmp/gdb", [APP],
     "Demo debugger: debugging /tmp/home/bin/mp.elf.strip"),
    ("gdbport_number", {"gdbserver": "on", "gdbport": "2345"}, "image2", "/bin/gdbserver",
     [":2345", APP], None),
    ("gdbport_not_a_number", {"gdbserver": "on", "gdbport": "abc"}, "image2", "/bin/gdbserver",
     [":1234", APP], None),
    ("gdb_without_debugger", {"gdb": "on"}, "rescue", "/bin/backtrace", [],
     "**** GDB mode selected but GDB not available. Please install GDB image ***"),
    ("suffix_mygdb_counts", {"mygdb": "on"}, "gdb", "/tmp/gdb", [APP],
     "*** Launching under GDB ***"),
    ("lowsec_misspelt", {"lowsec": "authorized"}, "image2", "/bin/backtrace", [], None),
    ("rescue_prefix_goes_on", {"diagnostics": "rescuex"}, "image2", "/bin/backtrace", [], None),
]


def operator_answers(env) -> str:
    """What the operator types for the questions the flags bring: Exit for
    the rescue menu, DHCP for the debug server's management port."""
    env = env or {}
    answers = "e" if env.get("diagnostics", "").startswith("rescue") else ""
    if env.get("gdbserver") == "on":
        answers += "y\n"
    return answers


@pytest.mark.parametrize("name,env,slot2,program,args,line", ENV_TABLE,
                         ids=[r[0] for r in ENV_TABLE])
def test_environment_flags_choose_the_launch(board, name, env, slot2, program, args, line):
    install_demo_slots(board, slot2=slot2)
    if env is None:
        board.env_erase()
    elif env:
        board.env_set_raw(*[f"{k}={v}" for k, v in env.items()])
    proc = board.boot(input=operator_answers(env), max_boots=1, timeout=60)
    out = console(proc)
    execs = board.events("exec")
    if line:
        assert line in out
    assert "Demo application of image 1, version 1.0.0.1" in out
    assert proc.returncode == LAUNCHED, out
    assert execs and execs[0]["program"] == program, execs
    assert execs[0]["args"] == args


def test_date_command_from_the_clock(make_board):
    board = make_board(freeze="2026-12-07T09:47:05")
    # The empty board ends in the rescue menu: Exit leaves it.
    proc = board.boot(input="e", max_boots=1, timeout=60)
    dates = board.events("shell")
    dates = [e for e in dates if e["cmd"] == "date"]
    assert dates and dates[0]["args"] == ["120709472026.05"], (dates, proc.stdout)


@pytest.mark.parametrize("boot_slot", [0x00, 0x03, 0xFF])
def test_unknown_boot_slot_tries_one_then_two_then_reboots(board, tmp_path, boot_slot):
    install_demo_slots(board)
    for slot in (1, 2):
        path = board.user / "images" / f"image{slot}"
        data = bytearray(path.read_bytes())
        data[-1] ^= 1
        path.write_bytes(bytes(data))
    board.nvram_set(0x100, boot_slot)
    proc = board.boot(max_boots=1, timeout=60)
    out = console(proc)
    assert proc.returncode == NO_LAUNCH, out
    first = out.index("Booting image '1'")
    crc = out.index("Image1 CRC failed, trying Image2 now.")
    second = out.index("Booting image '2'")
    both = out.index("Both image1 and image2 failed.")
    assert first < crc < second < both
    assert [e["kind"] for e in board.events(boot=1)][-2:] == ["reboot", "exit"]
    assert board.nvram_get(0x13A) == b"\xff"  # nothing was booted


def test_empty_board_falls_through_to_the_reboot(board):
    # Nothing to boot leads to the rescue menu; the operator leaves it twice.
    proc = board.boot(input="ee", max_boots=2, timeout=60)
    out = console(proc)
    assert proc.returncode == NO_LAUNCH
    assert out.count("Failed to open Application image 2.") == 2
    assert len(board.events("reboot")) == 2
    assert "boardsim:" in out.splitlines()[-1]


def test_missing_i2c_bus_and_partition_do_not_stop_the_boot(board):
    install_demo_slots(board)
    board.fault("missing=i2c-1,mtd-ubootenv")
    proc = board.boot(max_boots=1, timeout=60)
    out = console(proc)
    assert proc.returncode == LAUNCHED, out
    assert "ERROR: driver /dev/i2c-1 couldn't be opened" in out
    # Bus 2 stays closed: the clock cannot be read and no date is set.
    assert "I2C error when setting bus 2, device 0xd0: 9" in out
    assert not [e for e in board.events("shell") if e["cmd"] == "date"]
    # The environment partition is missing: reported on use, defaults kept.
    assert "Could not get MTD device info " in out
    assert board.events("exec")[0]["program"] == "/bin/backtrace"


def test_unreadable_clock_is_reported_and_skipped(board):
    install_demo_slots(board)
    board.fault("i2c.2.68=nack")
    proc = board.boot(max_boots=1, timeout=60)
    out = console(proc)
    assert proc.returncode == LAUNCHED, out
    assert "I2C error - device 0xd0 writing bus 2 offset 0: 6" in out
    assert not [e for e in board.events("shell") if e["cmd"] == "date"]
