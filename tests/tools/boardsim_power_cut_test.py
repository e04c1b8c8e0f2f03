"""Power cuts on the emulated board as the board's programs meet them.

The /user file system, the flash and the NVRAM are written from inside the
sandbox (busybox tools, dd, and a small Python writer for the device files),
with power cut faults for the run; the test then looks at the board folder
and events.log. Run by CTest with BOARDSIM set.
"""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import NO_LAUNCH  # noqa: E402

KILLED = 128 + 9  # "boardsim run" after a cut: the power took the command with it

# Writes like bootmgr does: flash by write(2) on the MTD device and MEMERASE,
# NVRAM one byte per write cycle through i2c-dev, files in pieces.
# Arguments: a list of steps, "flash:OFFSET:LENGTH", "erase:OFFSET",
# "nvram:ADDR(hex):VALUE", "file:PATH:PIECE,PIECE...".
WRITER = """
import fcntl, os, struct, sys, time
I2C_SLAVE, MEMERASE = 0x0703, 0x40084d02
for step in sys.argv[1:]:
    what, *args = step.split(":")
    if what == "flash":
        fd = os.open("/dev/mtd-kernel", os.O_RDWR)
        os.pwrite(fd, bytes(int(args[1])), int(args[0]))
    elif what == "erase":
        fd = os.open("/dev/mtd-kernel", os.O_RDWR)
        fcntl.ioctl(fd, MEMERASE, struct.pack("II", int(args[0]), 65536))
    elif what == "nvram":
        mux, fd = os.open("/dev/i2c-0", os.O_RDWR), os.open("/dev/i2c-0", os.O_RDWR)
        fcntl.ioctl(mux, I2C_SLAVE, 0x71)
        os.write(mux, b"\\x01")
        fcntl.ioctl(fd, I2C_SLAVE, 0x52)
        addr = int(args[0], 16)
        os.write(fd, bytes([addr >> 8, addr & 0xFF, int(args[1])]))
        time.sleep(0.01)
    elif what == "file":
        with open(args[0], "wb") as f:
            for n in args[1].split(","):
                f.write(b"u" * int(n))
    print("done", step, flush=True)
"""


@pytest.fixture
def write_on_board(board, tmp_path):
    """Runs WRITER on the board with the steps and faults; returns the process."""
    path = tmp_path / "writer" / "writer.py"
    path.parent.mkdir()
    path.write_text(WRITER)

    def run(steps, fault):
        return board.run("/usr/bin/python3", str(path), *steps, ro=[path.parent], faults=[fault])
    return run


@pytest.fixture
def source(tmp_path):
    """200000 bytes that differ from one piece to the next."""
    path = tmp_path / "src" / "image"
    path.parent.mkdir()
    path.write_bytes(os.urandom(200000))
    return path


def cuts(board):
    return board.events("power-cut")


# --- /user file writes ----------------------------------------------------

@pytest.mark.parametrize("fault", ["power_cut_after={n}@/user/images/image1", "power_cut_after={n}@/user/images",
                                   "power_cut_after={n}"])
@pytest.mark.parametrize("n", [0, 1, 65535, 65536, 65537, 199999])
def test_a_cut_at_byte_n_of_a_file_write_leaves_exactly_n_bytes(board, source, fault, n):
    (board.user / "images").mkdir()
    (board.user / "images" / "image1").write_bytes(b"old" * 100000)
    cmd = f"dd if={source} of=/user/images/image1 bs=65536 2>/dev/null; touch /user/after"
    proc = board.run("/bin/sh", "-c", cmd, ro=[source.parent], faults=[fault.format(n=n)])
    assert proc.returncode == KILLED
    assert (board.user / "images" / "image1").read_bytes() == source.read_bytes()[:n]
    assert not (board.user / "after").exists(), "nothing after the cut"
    (cut,) = cuts(board)
    assert (cut["event"], cut["path"], cut["offset"], cut["bytes"]) == ("user-write", "/user/images/image1", n, n)
    assert cut["cause"] == fault.format(n=n)


BESIDE = "cat {src} > /user/key.pem.tmp && mv /user/key.pem.tmp /user/key.pem && touch /user/done"


@pytest.mark.parametrize("fault, key_is_new, tmp_bytes", [
    ("power_cut_after=1000", False, 1000),                        # within the new file's write
    ("power_cut_at=user-rename:1", False, 200000),                # at the rename
    ("power_cut_at=user-rename:1@/user/key.pem", False, 200000),  # the rename by its new name
    ("power_cut_at=user-create:2", True, None),                   # just after the rename
])
def test_a_file_written_beside_and_renamed_is_old_or_new_whole(board, source, fault, key_is_new, tmp_bytes):
    old = b"OLD KEY\n" * 50
    (board.user / "key.pem").write_bytes(old)
    proc = board.run("/bin/sh", "-c", BESIDE.format(src=source), ro=[source.parent], faults=[fault])
    assert proc.returncode == KILLED
    assert (board.user / "key.pem").read_bytes() == (source.read_bytes() if key_is_new else old)
    tmp = board.user / "key.pem.tmp"
    if tmp_bytes is None:
        assert not tmp.exists()
    else:
        assert tmp.read_bytes() == source.read_bytes()[:tmp_bytes]
    assert not (board.user / "done").exists()


# (fault, shell command on a /user holding old/x and old/empty/, the state
# left (path -> content, "dir", None = absent), events of the kind done before)
KIND_ROWS = {
    "mkdir": ("power_cut_at=user-mkdir:2", "mkdir /user/a /user/b /user/c",
              {"a": "dir", "b": None, "c": None}, 1),
    "create": ("power_cut_at=user-create:1", "touch /user/new; mkdir /user/later", {"new": None, "later": None}, 0),
    "truncate": ("power_cut_at=user-truncate:1", ": > /user/old/x", {"old/x": b"x data\n"}, 0),
    "write": ("power_cut_at=user-write:2", "echo a > /user/a; echo b > /user/b; echo c > /user/c",
              {"a": b"a\n", "b": b"", "c": None}, 1),
    "unlink": ("power_cut_at=user-unlink:1", "rm /user/old/x", {"old/x": b"x data\n"}, 0),
    "rmdir": ("power_cut_at=user-rmdir:1@/user/old/empty", "rm /user/old/x; rmdir /user/old/empty",
              {"old/x": None, "old/empty": "dir"}, 0),
    "rename": ("power_cut_at=user-rename:1", "mv /user/old/x /user/y", {"old/x": b"x data\n", "y": None}, 0),
}


@pytest.mark.parametrize("kind", sorted(KIND_ROWS))
def test_a_cut_at_an_event_stops_that_event(board, kind):
    fault, cmd, expected, done_before = KIND_ROWS[kind]
    (board.user / "old" / "empty").mkdir(parents=True)
    (board.user / "old" / "x").write_bytes(b"x data\n")
    assert board.run("/bin/sh", "-c", cmd, faults=[fault]).returncode == KILLED
    for name, content in expected.items():
        path = board.user / name
        if content is None:
            assert not path.exists(), name
        elif content == "dir":
            assert path.is_dir(), name
        else:
            assert path.read_bytes() == content, name
    (cut,) = cuts(board)
    assert cut["event"] == f"user-{kind}"
    assert len(board.events(f"user-{kind}")) == done_before, "the cut event is not logged as done"


# --- NVRAM and flash ------------------------------------------------------

BOOT_SLOT_WRITES = ["nvram:13a:1", "nvram:100:2", "nvram:108:5", "nvram:109:6"]


@pytest.mark.parametrize("fault, stored, cut_address", [
    ("power_cut_at=nvram-write:1@nvram:100", {0x13A: 1}, 0x100),                 # the write of bootSlot
    ("power_cut_at=nvram-write:3", {0x13A: 1, 0x100: 2}, 0x108),
    ("power_cut_after=3@nvram", {0x13A: 1, 0x100: 2, 0x108: 5}, 0x109),
])
def test_a_cut_at_an_nvram_write_keeps_the_bytes_before_it(board, write_on_board, fault, stored, cut_address):
    proc = write_on_board(BOOT_SLOT_WRITES, fault)
    assert proc.returncode == KILLED
    for step in BOOT_SLOT_WRITES:
        addr = int(step.split(":")[1], 16)
        assert board.nvram_get(addr) == bytes([stored.get(addr, 0xFF)]), hex(addr)
    (cut,) = cuts(board)
    assert (cut["event"], cut["address"]) == ("nvram-write", hex(cut_address))
    assert [e["address"] for e in board.events("nvram-write")] == [hex(a) for a in stored]


# One run of every kind: 1000 flash bytes, an erase, three NVRAM bytes, a
# /user file written in two pieces of 500 (created first).
MIXED = ["flash:0:1000", "erase:65536", "nvram:100:1", "nvram:101:2", "nvram:102:3", "file:/user/f:500,500"]


@pytest.mark.parametrize("budget, flash, erased, nvram, file_bytes", [
    (999, 999, False, 0, None),
    (1000, 1000, True, 0, None),     # the spent budget lets the erase through; the first NVRAM byte is cut
    (1002, 1000, True, 2, None),
    (1003, 1000, True, 3, 0),        # the file is created (no bytes), its first byte is cut
    (1503, 1000, True, 3, 500),
    (1700, 1000, True, 3, 697),
    (2003, 1000, True, 3, 1000),     # everything fits: no cut
])
def test_the_byte_budget_counts_flash_nvram_and_user_bytes(board, write_on_board, budget, flash, erased, nvram,
                                                          file_bytes):
    board.flash_path("kernel").write_bytes(b"\xff" * 65536 + b"\0" * 65536 + b"\xff" * ((8 << 20) - 131072))
    proc = write_on_board(MIXED, f"power_cut_after={budget}")
    assert proc.returncode == (0 if budget == 2003 else KILLED), proc.stderr
    kernel = board.flash("kernel", 0, 131072)
    assert kernel[:1001] == b"\0" * flash + b"\xff" * (1001 - flash)
    assert kernel[65536:] == (b"\xff" if erased else b"\0") * 65536
    assert board.nvram_get(0x100, 3) == bytes([1, 2, 3][:nvram]) + b"\xff" * (3 - nvram)
    f = board.user / "f"
    assert (f.stat().st_size if f.exists() else None) == file_bytes
    assert len(cuts(board)) == (0 if budget == 2003 else 1)


# --- the board after the cut ----------------------------------------------

def test_the_board_boots_again_from_what_the_writes_left(board, tmp_path, source):
    fake = tmp_path / "bootmgr"
    fake.write_text(f"""#!/bin/sh
echo boot >> /tmp/boots
n=$(cat /user/n 2>/dev/null || echo 0); echo $((n+1)) > /user/n
if [ $n = 0 ]; then
  dd if={source} of=/user/image1 bs=65536 2>/dev/null
  echo STILL-RUNNING; sleep 100
fi
echo "boot $n: image1 $(wc -c < /user/image1) bytes, $(wc -l < /tmp/boots) boot(s) in /tmp"
""")
    fake.chmod(0o755)
    proc = board.boot(bootmgr=str(fake), faults=["power_cut_after=70000@/user/image1"], timeout=30,
                      ro=[str(source.parent)])
    assert proc.returncode == NO_LAUNCH, proc.stdout
    assert "STILL-RUNNING" not in proc.stdout
    assert "[boardsim: power cut]" in proc.stdout
    assert "boot 1: image1 70000 bytes, 1 boot(s) in /tmp" in proc.stdout
    kinds = [e["kind"] for e in board.events() if e["kind"] in ("boot", "power-cut", "user-write")]
    assert kinds == ["boot", "user-write", "power-cut", "boot", "user-write"], "/user/n in each boot"
    assert (board.user / "image1").read_bytes() == source.read_bytes()[:70000]


def test_the_log_has_one_line_per_file_written_and_per_change(board, source):
    cmd = (f"mkdir -p /user/images/rejected; cp {source} /user/images/image2; "
           "touch /user/images/rejected/0123; mv /user/images/image2 /user/images/image1; "
           "rm /user/images/rejected/0123; rmdir /user/images/rejected; echo x >> /user/install.log")
    assert board.run("/bin/sh", "-c", cmd, ro=[source.parent]).returncode == 0
    changes = [(e["kind"], {k: v for k, v in e.items() if k not in ("t", "run", "boot", "kind")})
               for e in board.events() if e["kind"].startswith("user-")]
    assert changes == [
        ("user-mkdir", {"path": "/user/images"}),
        ("user-mkdir", {"path": "/user/images/rejected"}),
        ("user-create", {"path": "/user/images/image2"}),
        ("user-write", {"path": "/user/images/image2", "bytes": 200000}),
        ("user-create", {"path": "/user/images/rejected/0123"}),
        ("user-rename", {"from": "/user/images/image2", "to": "/user/images/image1"}),
        ("user-unlink", {"path": "/user/images/rejected/0123"}),
        ("user-rmdir", {"path": "/user/images/rejected"}),
        ("user-create", {"path": "/user/install.log"}),
        ("user-write", {"path": "/user/install.log", "bytes": 2}),
    ]
    assert (board.user / "images" / "image1").read_bytes() == source.read_bytes()
