"""The emulated board's USB stick: the "usb" verb, and when the platform
mounts the stick for bootmgr (fake bootmgr scripts look at /tmp/usb and
/mnt/usb). Run by CTest with BOARDSIM set.
"""

import hashlib
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import SETUP_ERROR, Board, boardsim, shell_script  # noqa: E402


# --- the verb -------------------------------------------------------------

def test_show_tells_the_state_and_lists_the_files(board):
    steps = [
        ([], "removed"),
        (["insert"], "inserted, mounted at once"),
        (["insert", "--mount-after", "12.5"], "inserted, mounted 12.5 s after bootmgr starts"),
        (["insert", "--mount-after", "0.25"], "inserted, mounted 0.25 s after bootmgr starts"),
        (["insert"], "inserted, mounted at once"),
        (["remove"], "removed"),
    ]
    files = {"NPX7710_OS.img": b"abc", "a/b/deep.img": b"\0" * 70000, "empty": b""}
    for name, data in files.items():
        board.usb_put(name, data)
    for args, state in steps:
        if args:
            boardsim("usb", board.path, *args)
        shown_state, shown = board.usb_show()
        assert shown_state == state, args
        assert shown == [(hashlib.md5(files[n]).hexdigest(), len(files[n]), n) for n in sorted(files)]


@pytest.mark.parametrize("args", [
    ["insert", "--mount-after", "-1"], ["insert", "--mount-after", "3601"], ["insert", "--mount-after", "nan"],
    ["insert", "--mount-after", "2s"], ["insert", "--mount-after"], ["insert", "now"], ["remove", "--mount-after", "1"],
    ["show", "all"], ["eject"], [],
])
def test_usb_usage_errors(board, args):
    proc = boardsim("usb", board.path, *args, check=False)
    assert proc.returncode == SETUP_ERROR
    assert proc.stderr.startswith("boardsim usb: ")
    assert board.usb_show()[0] == "removed"


# --- the platform's mount -------------------------------------------------

# bootmgr's own wait: one second, then ten looks a second apart.
WAIT = """sleep 1; i=0; r=timeout
while [ $i -lt 10 ]; do if [ -e /tmp/usb ]; then r=ready; break; fi; i=$((i+1)); sleep 1; done
echo "wait: $r after $i: $(ls /mnt/usb | tr '\\n' ' ')"
sleep 2; if [ -e /tmp/usb ]; then echo "later: yes"; else echo "later: no"; fi
"""


@pytest.mark.parametrize("mount_after, fast, wait, later", [
    (None, True, "ready after 0: NPX7710_OS.img", "yes"),
    # Half a second from a look is 50 ms under --fast, too little on a loaded
    # machine: the cases at the edge of the last look run in real time.
    (9.5, False, "ready after 9: NPX7710_OS.img", "yes"),
    (11.5, False, "timeout after 10: ", "yes"),    # mounted after bootmgr gave up, still mounted
    (20, True, "timeout after 10: ", "no"),
    (1.5, False, "ready after 1: NPX7710_OS.img", "yes"),
])
def test_the_stick_is_mounted_after_its_delay_in_board_time(board, tmp_path, mount_after, fast, wait, later):
    board.usb_put("NPX7710_OS.img", b"image")
    board.usb_insert(mount_after=mount_after)
    proc = board.boot(bootmgr=shell_script(tmp_path, WAIT), fast=fast, timeout=30)
    assert f"wait: {wait}" in proc.stdout, proc.stdout
    assert f"later: {later}" in proc.stdout
    mounts = board.events("usb-mount")
    assert [m["after"] for m in mounts] == ([] if later == "no" else [mount_after or 0])


def test_the_stick_is_empty_until_mounted_and_read_only_after(board, tmp_path):
    board.usb_put("NPX7710_OS.img", b"image")
    board.usb_insert(mount_after=1)
    body = ("ls /mnt/usb | wc -l; test -e /tmp/usb && echo marker\n"
            "while [ ! -e /tmp/usb ]; do sleep 0.1; done\n"
            "cat /mnt/usb/NPX7710_OS.img; echo; (echo x > /mnt/usb/new) 2>/dev/null || echo read-only\n")
    proc = board.boot(bootmgr=shell_script(tmp_path, body), timeout=30)
    assert proc.stdout.split()[:4] == ["0", "image", "read-only", "boardsim:"], proc.stdout
    assert not (board.path / "usb" / "new").exists()


def test_each_boot_takes_the_stick_as_board_conf_has_it(board, tmp_path):
    board.usb_insert()
    body = ("n=$(cat /user/n 2>/dev/null || echo 0); n=$((n+1)); echo $n > /user/n\n"
            "i=0; while [ ! -e /tmp/usb ] && [ $i -lt 20 ]; do sleep 0.1; i=$((i+1)); done\n"
            "test -e /tmp/usb && echo \"boot $n: mounted\" || echo \"boot $n: no stick\"\n"
            "if [ $n -lt 3 ]; then read answer; reboot; fi\n")
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), max_boots=3, timeout=60)
    child.expect("boot 1: mounted")
    board.usb_remove()
    child.sendline("")
    child.expect("boot 2: no stick")
    board.usb_insert(mount_after=0.5)
    child.sendline("")
    child.expect("boot 3: mounted")
    Board.wait_boot(child)
    assert [(m["boot"], m["after"]) for m in board.events("usb-mount")] == [(1, 0), (3, 0.5)]


def test_run_mounts_the_stick_at_once(board):
    board.usb_put("f", b"x")
    board.usb_insert(mount_after=60)
    start = time.monotonic()
    proc = board.run("/bin/sh", "-c", "test -e /tmp/usb && cat /mnt/usb/f")
    assert proc.stdout == "x" and time.monotonic() - start < 40
