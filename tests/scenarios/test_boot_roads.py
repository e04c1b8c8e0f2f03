"""The roads of one boot: finding the bootable component, CRC failures and
the other slot, diagnostics images, debugging modes, the shell and the
image's own preparation."""

from __future__ import annotations

import struct
import zlib

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH, expect_lines
from images import app_archive, create, diags_archive, demo_dir

APP = "/tmp/home/bin/mp.elf.strip"


def zero_length_record(path):
    """Rewrites a version-3 component so that its first record has length 0,
    with a CRC that matches again."""
    data = bytearray(path.read_bytes())
    struct.pack_into(">H", data, 26, 0)
    crc = ~zlib.crc32(bytes(data[4:])) & 0xFFFFFFFF
    struct.pack_into(">I", data, 0, crc)
    path.write_bytes(bytes(data))


def put_slot(board, slot, tmp_path, components=None, demo=None, fix=None):
    images = board.user / "images"
    images.mkdir(parents=True, exist_ok=True)
    path = images / f"image{slot}"
    if demo:
        path.write_bytes((demo_dir() / f"{demo}.img").read_bytes())
    else:
        create(path, components, tmp_path)
    if fix:
        fix(path)
    return path


def flip_last_byte(path):
    data = bytearray(path.read_bytes())
    data[-1] ^= 1
    path.write_bytes(bytes(data))


def cut_to(length):
    """A fix-up that keeps only the first `length` bytes of the file."""
    def cut(path):
        path.write_bytes(path.read_bytes()[:length])
    return cut


def app(slot, **kw):
    return {"type": "app", "version": f"1.0.0.{slot}", "payload": app_archive(slot, **kw)}


# name, slot 1, slot 2 (each: components, a demo image name, or None for no
# file, plus an optional fix-up), NVRAM bootSlot, environment, console lines in
# order, the launcher expected (None: no launcher; the memory checker runs the
# application itself and the board reboots after it), bootedImage afterwards.
ROADS = [
    ("second_component_is_app",
     ([{"type": "kernel", "payload": b"K" * 100}, {"type": 0x7F, "header": 2, "payload": b"?" * 40},
       app(1)], None), (None, None), 1, {},
     ["Booting image '1'", "Demo application of image 1"], "/bin/backtrace", 1),
    ("diags_component",
     ([{"type": "diags", "payload": diags_archive()}], None), ("image2", None), 1, {},
     ["install diags image", "Demo diagnostics: all board tests passed."], "/bin/backtrace", 1),
    ("alt_type_record_makes_diags",
     ([{"type": "app", "alt_type": "diags", "payload": diags_archive()}], None), ("image2", None), 1,
     {}, ["install diags image", "Demo diagnostics: all board tests passed."], "/bin/backtrace", 1),
    ("zero_length_record",
     ([{"type": "app", "records": [(4, "0000")], "payload": app_archive(1)}], zero_length_record),
     ("image2", None), 1, {},
     ["Image header error", "Demo application of image 1"], "/bin/backtrace", 1),
    ("image1_missing",
     (None, None), ("image2", None), 1, {},
     ["Booting image '1'", "Failed to open Application image 1. Trying image 2.",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("corrupt_image2_first",
     ("image1", None), ("image2", flip_last_byte), 2, {},
     ["Booting image '2'", "Image2 CRC failed, trying Image1 now.", "Booting image '1'",
      "Demo application of image 1"], "/bin/backtrace", 1),
    ("no_bootable_component_then_other_slot",
     ("image1", None), ([{"type": "kernel", "payload": b"K" * 64}], None), 2, {},
     ["Booting image '2'", "Image has invalid header 0x34c4144. (0x64c4144)",
      "Image2 has invalid header... trying Image1.", "Booting image '1'",
      "Demo application of image 1"], "/bin/backtrace", 1),
    ("both_slots_bad",
     ("image1", flip_last_byte), ("image2", flip_last_byte), 1, {},
     ["Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "Both image1 and image2 failed."], None, 0xFF),
    ("gdb_from_other_slot",
     ("gdb", None), ("image2", None), 2, {"gdb": "on"},
     ["Booting image '2'", "Extracting GDB from image slot 1", "Found GDB image 1 of length = ",
      "decompressing GDB....", "*** Launching under GDB ***",
      "Demo debugger: debugging /tmp/home/bin/mp.elf.strip", "Demo application of image 2"],
     "/tmp/gdb", 2),
    ("gdb_other_slot_not_an_application",
     ("rescue", None), ("image2", None), 2, {"gdb": "on"},
     ["Extracting GDB from image slot 1", "Image has invalid header 0x64c4144",
      "**** GDB mode selected but GDB not available. Please install GDB image ***",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("gdbserver_with_memchk",
     ("image1", None), ("image2", None), 1, {"gdbserver": "on", "memchk": "on"},
     ["Booting image '1'", "Demo application of image 1"], "/bin/gdbserver", 1),
    ("memchk_alone",
     ("image1", None), ("image2", None), 1, {"memchk": "on"},
     ["Booting image '1'", "Demo application of image 1"], None, 1),
    ("env_setup_odd_word",
     ([app(1, env="DEMO_IMAGE 7 DEMO_GREETING")], None), ("image2", None), 1, {},
     ["From env-setup: DEMO_IMAGE=7 DEMO_VERSION= DEMO_GREETING="], "/bin/backtrace", 1),
    ("env_setup_overlong_word_dropped_with_its_partner",
     ([app(1, env="DEMO_IMAGE " + "x" * 600 + " DEMO_GREETING hi")], None), ("image2", None), 1, {},
     ["From env-setup: DEMO_IMAGE= DEMO_VERSION= DEMO_GREETING=hi"], "/bin/backtrace", 1),
    ("garbage_archive_with_good_crc_then_other_slot",
     ([{"type": "app", "payload": b"not a gzip archive" * 50}], None), ("image2", None), 1, {},
     ["Booting image '1'", "Image1 could not be unpacked, trying Image2 now.", "Booting image '2'",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("truncated_archive_then_other_slot",
     ("image1", None), ([{"type": "app", "payload": app_archive(2)[:-40]}], None), 2, {},
     ["Booting image '2'", "Image2 could not be unpacked, trying Image1 now.", "Booting image '1'",
      "Demo application of image 1"], "/bin/backtrace", 1),
    ("both_archives_broken",
     ([{"type": "app", "payload": b"junk" * 64}], None), ([{"type": "app", "payload": b"junk" * 64}], None),
     1, {}, ["Image1 could not be unpacked, trying Image2 now.", "Booting image '2'",
             "Both image1 and image2 failed."], None, 0xFF),
    ("gdb_with_bad_crc_not_run",
     ("gdb", flip_last_byte), ("image2", None), 2, {"gdb": "on"},
     ["Extracting GDB from image slot 1", "GDB image CRC failed.",
      "**** GDB mode selected but GDB not available. Please install GDB image ***",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("gdb_other_slot_shorter_than_a_header",
     ("gdb", cut_to(10)), ("image2", None), 2, {"gdb": "on"},
     ["Extracting GDB from image slot 1", "Image has invalid header 0x0",
      "**** GDB mode selected but GDB not available. Please install GDB image ***",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("gdb_other_slot_cut_short",
     ("gdb", cut_to(100)), ("image2", None), 2, {"gdb": "on"},
     ["Extracting GDB from image slot 1",
      "Image component at offset 0 refused: component runs past the end of the image.",
      "**** GDB mode selected but GDB not available. Please install GDB image ***",
      "Demo application of image 2"], "/bin/backtrace", 2),
    ("env_setup_without_install_script",
     ([app(1, install=False)], None), ("image2", None), 1, {},
     ["Demo application of image ?, version ?"], "/bin/backtrace", 1),
]


def build_slot(board, slot, content, tmp_path):
    what, fix = content
    if what is None:
        return
    if isinstance(what, str):
        put_slot(board, slot, tmp_path, demo=what, fix=fix)
    else:
        put_slot(board, slot, tmp_path, components=what, fix=fix)


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_boot_road(board, tmp_path, road):
    name, slot1, slot2, boot_slot, env, lines, launcher, booted = road
    build_slot(board, 1, slot1, tmp_path)
    build_slot(board, 2, slot2, tmp_path)
    board.nvram_set(0x100, boot_slot)
    if env:
        board.env_set(**env)
    # The debug server's management port asks first: DHCP.
    proc = board.boot(input="y\n" if env.get("gdbserver") == "on" else "", max_boots=1, timeout=60)
    out = proc.stdout.replace("\r", "")
    expect_lines(out, lines)
    execs = board.events("exec")
    if launcher:
        assert proc.returncode == LAUNCHED, out
        assert execs and execs[0]["program"] == launcher
        if launcher == "/bin/gdbserver":
            assert execs[0]["args"] == [":1234", APP]
        if launcher == "/bin/gdbserver":
            assert execs[0].get("preload") == "libduma.so.0.0.0"
        if launcher == "/tmp/gdb":
            assert execs[0]["args"] == [APP]
    else:
        assert proc.returncode == NO_LAUNCH, out
        assert board.events("reboot"), "a road without a launcher ends in a reboot"
        if env.get("memchk") == "on":
            # The application ran directly, with the checker preloaded.
            assert execs and execs[0]["program"] == APP
            assert execs[0].get("preload") == "libduma.so.0.0.0"
    assert board.nvram_get(0x13A) == bytes([booted])


def test_shell_flag_gives_a_shell_before_the_application(board, tmp_path):
    put_slot(board, 1, tmp_path, demo="image1")
    board.env_set(shell="on")
    child = board.spawn_boot(max_boots=1, timeout=60)
    child.expect_exact("Dropping into shell")
    child.sendline("echo from-the-shell $DEMO_GREETING")
    child.expect_exact("from-the-shell hello-from-slot-1")
    assert not board.events("exec"), "the application must wait for the shell"
    child.sendline("exit")
    child.expect_exact("Dropping out of shell")
    child.expect_exact("Demo application of image 1")
    assert board.wait_boot(child) == LAUNCHED
