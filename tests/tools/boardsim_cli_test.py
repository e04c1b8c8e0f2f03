"""boardsim's command line, board files, boot loop and stand-ins.

Run by CTest with BOARDSIM set; bootmgr is replaced by small shell scripts
(--bootmgr) that act out the roads the boot loop has to tell apart.
"""

import datetime
import json
import os
import re
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import (LAUNCHED, NO_LAUNCH, SETUP_ERROR, TIMEOUT, Board,  # noqa: E402
                              boardsim, last_line, shell_script)

ENV_SIZE = 16384
APP = """mkdir -p /tmp/home/bin
printf '#!/bin/sh\\necho app running \\"$*\\"\\nexit 4\\n' > /tmp/home/bin/mp.elf.strip
chmod +x /tmp/home/bin/mp.elf.strip
"""


# --- command line ---------------------------------------------------------

@pytest.mark.parametrize("verb", ["new", "env", "nvram", "clock", "fault", "usb", "cable", "net", "boot", "run",
                                  "send"])
def test_every_verb_has_help(verb):
    proc = boardsim(verb, "--help")
    assert proc.stdout.startswith(f"usage: boardsim {verb}")


@pytest.mark.parametrize("args, message", [
    (["frobnicate", "x"], "unknown verb"),
    (["new"], "missing DIR"),
    (["new", "{d}", "--serial", "SHORT"], "12 characters"),
    (["new", "{d}", "--demo", "--images", "{d}-none"], "not found"),
    (["new", "{d}", "--images", "{d}"], "goes with --demo"),
    (["env", "{b}", "set", "novalue"], "NAME=VALUE"),
    (["env", "{b}", "frob"], "unknown action"),
    (["nvram", "{b}", "set", "100", "1ff"], "bad byte"),
    (["nvram", "{b}", "get", "10000"], "bad address"),
    (["nvram", "{b}", "get", "fff0", "11"], "beyond"),
    (["clock", "{b}", "set", "2026-13-01T00:00:00"], "bad time"),
    (["clock", "{b}", "freeze", "1999-12-31T23:59:59"], "bad time"),
    (["fault", "{b}", "set", "flash.kernel.program=1"], "bad fault"),
    (["boot", "{b}", "--max-boots", "0"], "--max-boots"),
    (["boot", "{b}", "--bootmgr", "/nonexistent/bootmgr"], "no executable bootmgr"),
    (["run", "{b}", "/bin/true"], "the command goes after --"),
    (["run", "{b}"], "missing -- COMMAND"),
    (["env", "{d}", "show"], "not a board directory"),
])
def test_usage_errors_exit_2_with_a_reason(board, tmp_path, args, message):
    args = [a.format(b=board.path, d=tmp_path / "elsewhere") for a in args]
    proc = boardsim(*args, check=False)
    assert proc.returncode == SETUP_ERROR
    assert message in proc.stdout + proc.stderr


def test_new_makes_the_board_and_refuses_to_overwrite(tmp_path):
    b = Board.create(tmp_path / "b", serial="ABCDEFGH1234", force=False)
    sizes = {p.stem: p.stat().st_size for p in (b.path / "flash").iterdir()}
    assert sizes == {"uboot": 512 << 10, "ubootenv": 128 << 10, "devicetree": 256 << 10, "kernel": 8 << 20,
                     "rfs": 10 << 20, "rescue": 10 << 20, "onie": 1 << 20}
    assert b.flash("kernel") == b"\xff" * (8 << 20)
    assert b.flash("ubootenv", ENV_SIZE) == b"\xff" * ((128 << 10) - ENV_SIZE)
    eeprom = (b.path / "eeprom.bin").read_bytes()
    assert len(eeprom) == 65536
    assert eeprom[0x0D:0x19] == b"ABCDEFGH1234"
    assert eeprom[:0x0D] == b"\xff" * 0x0D and eeprom[0x19:] == b"\xff" * (65536 - 0x19)
    assert b.env() == {}
    assert not list(b.user.iterdir()) and b.tftp.is_dir()
    (b.user / "keep").write_text("x")
    proc = boardsim("new", b.path, check=False)
    assert proc.returncode == SETUP_ERROR and "--force" in proc.stderr
    assert (b.user / "keep").exists()
    boardsim("new", b.path, "--force")
    assert not (b.user / "keep").exists()


@pytest.mark.parametrize("developer", [False, True])
def test_demo_board_gets_the_images(tmp_path, developer):
    images = tmp_path / "images"
    images.mkdir()
    files = [("image1.img", 100), ("image2.img", 200), ("rescue.img", 70000), ("gdb.img", 10),
             ("rfs-production.img", 300), ("rfs-unsigned.img", 400)]
    for name, size in files:
        (images / name).write_bytes(bytes((i * 7 + size) & 0xFF for i in range(size)))
    boardsim("new", tmp_path / "b", "--demo", "--images", images, *(["--developer"] if developer else []))
    b = Board(tmp_path / "b")
    assert (b.user / "images" / "image1").read_bytes() == (images / "image1.img").read_bytes()
    assert (b.user / "images" / "image2").read_bytes() == (images / "image2.img").read_bytes()
    assert b.flash("rescue", 0, 70000) == (images / "rescue.img").read_bytes()
    assert b.flash("rescue", 70000, 100) == b"\xff" * 100
    rfs = (images / ("rfs-unsigned.img" if developer else "rfs-production.img")).read_bytes()
    assert b.flash("rfs", 0, len(rfs)) == rfs
    assert b.flash("rfs", len(rfs), 100) == b"\xff" * 100
    assert sorted(p.name for p in b.tftp.iterdir()) == sorted(name for name, _ in files)
    (images / "rescue.img").write_bytes(b"\0" * ((10 << 20) + 1))
    proc = boardsim("new", tmp_path / "c", "--demo", "--images", images, check=False)
    assert proc.returncode == SETUP_ERROR and "does not fit" in proc.stderr
    proc = boardsim("new", tmp_path / "d", "--developer", check=False)
    assert proc.returncode == SETUP_ERROR and "--developer goes with --demo" in proc.stderr


def test_environment_layout_round_trip(board):
    board.env_set(gdb="on", bootargs="console=ttyS0,9600")
    board.env_set_raw("diagnostics=rescue", "gdb=off")
    board.env_unset("bootargs", "notthere")
    block = board.flash("ubootenv", 0, ENV_SIZE)
    crc, = struct.unpack("<I", block[:4])
    assert crc == zlib.crc32(block[4:]), "CRC-32 little-endian over the whole data area"
    assert block[4:].startswith(b"gdb=off\0diagnostics=rescue\0\0"), "set keeps order, replaces in place"
    assert block[4:].rstrip(b"\0") == b"gdb=off\0diagnostics=rescue"
    assert board.env() == {"gdb": "off", "diagnostics": "rescue"}


def test_empty_environment_is_a_valid_block(board):
    block = board.flash("ubootenv", 0, ENV_SIZE)
    assert struct.unpack("<I", block[:4])[0] == zlib.crc32(block[4:])
    assert block[4] == 0
    assert len(block) - 4 >= 8192, "bootmgr reads 8192 bytes from offset 4"


def test_erased_environment_is_reported_and_replaced_on_set(board):
    board.env_erase()
    proc = boardsim("env", board.path, "show", check=False)
    assert proc.returncode == 1 and "CRC" in proc.stderr
    board.env_set(shell="on")
    assert board.env() == {"shell": "on"}


def test_environment_that_does_not_fit_is_refused(board):
    proc = boardsim("env", board.path, "set", "big=" + "x" * ENV_SIZE, check=False)
    assert proc.returncode == SETUP_ERROR and "does not fit" in proc.stderr
    assert board.env() == {}


def test_nvram_set_and_get(board):
    board.nvram_set(0x100, 2)
    board.nvram_set(0x13A, 0xD5, 0x01)
    assert board.nvram_get(0x100) == b"\x02"
    assert board.nvram_get(0x139, 4) == b"\xff\xd5\x01\xff"
    out = boardsim("nvram", board.path, "get", "0xd", "0x14").stdout
    assert out.splitlines()[0].startswith("000d: 53 49 4d 30")
    assert out.splitlines()[1].startswith("001d:")
    assert board.nvram_get(0xFFFF) == b"\xff"


def test_clock_set_freeze_now(board):
    board.clock("freeze", "2030-06-07T08:09:10")
    assert board.clock("show") == "2030-06-07T08:09:10 (frozen)"
    board.clock("set", "2001-02-03T04:05:06")
    shown = board.clock("show")
    assert shown.startswith("2001-02-03T04:0") and "frozen" not in shown
    board.clock("now")
    assert board.clock("show")[:4] == time.strftime("%Y", time.gmtime())


# --- run ------------------------------------------------------------------

@pytest.mark.parametrize("status", [0, 3, 77])
def test_run_passes_the_exit_status_through(board, status):
    assert board.run("/bin/sh", "-c", f"exit {status}").returncode == status


def test_run_reaches_host_binaries_and_keeps_user_but_not_tmp(board, tmp_path):
    tool = shell_script(tmp_path, name="hosttool", body="echo from host $1\n")
    proc = board.run(tool, "ok")
    assert proc.returncode == 0 and proc.stdout == "from host ok\n"
    assert board.run("/bin/sh", "-c", "echo x > /tmp/t; echo y > /user/u").returncode == 0
    proc = board.run("/bin/sh", "-c", "test -e /tmp/t; echo tmp=$?; cat /user/u")
    assert proc.stdout == "tmp=1\ny\n"


def test_run_sees_missing_devices_and_the_usb_stick(board):
    stick = board.usb(True)
    (stick / "NPX7710_OS.img").write_text("img")
    proc = board.run("/bin/sh", "-c", "ls /dev | grep -e mtd- -e i2c- | tr '\\n' ' '; echo; ls /mnt/usb; test -d /tmp/usb && echo marker",
                     faults=["missing=mtd-onie,i2c-1"])
    assert proc.stdout.split("\n")[0].split() == ["i2c-0", "i2c-2", "mtd-devicetree", "mtd-kernel", "mtd-rescue",
                                                  "mtd-rfs", "mtd-uboot", "mtd-ubootenv"]
    assert "NPX7710_OS.img" in proc.stdout and "marker" in proc.stdout
    board.usb(False)
    assert "marker" not in board.run("/bin/sh", "-c", "test -d /tmp/usb && echo marker").stdout


def test_stand_ins_record_and_act(board):
    (board.user / "old").write_text("x")
    cmds = ("date 020304052031.06; /bin/mount -t ubifs -o compr=none -o sync ubi0:user /user; echo m=$?; "
            "/bin/umount /user; flash_eraseall /dev/mtd-user-char >/dev/null; ls /user | wc -l; "
            "/bin/dhclient eth0; reboot")
    proc = board.run("/bin/sh", "-c", cmds)
    assert proc.stdout.split() == ["m=0", "0"]
    shell = [(e["cmd"], e["args"]) for e in board.events("shell")]
    assert shell == [("date", ["020304052031.06"]),
                     ("mount", ["-t", "ubifs", "-o", "compr=none", "-o", "sync", "ubi0:user", "/user"]),
                     ("umount", ["/user"]), ("flash_eraseall", ["/dev/mtd-user-char"]), ("dhclient", ["eth0"])]
    assert len(board.events("reboot")) == 1


def test_flash_eraseall_of_a_partition_erases_it(board):
    board.run("/bin/sh", "-c", "printf 'abc' | dd of=/dev/mtd-devicetree conv=notrunc 2>/dev/null", check=True)
    assert board.flash("devicetree", 0, 3) == b"abc"
    board.run("flash_eraseall", "/dev/mtd-devicetree", check=True)
    assert board.flash("devicetree") == b"\xff" * (256 << 10)
    erases = board.events("flash-erase")
    assert [e["offset"] for e in erases] == [hex(o) for o in range(0, 256 << 10, 65536)]


# --- boot loop ------------------------------------------------------------

ROADS = {
    # name: (script body, boot options, status, boots, last line fragment)
    "backtrace": (APP + "exec /bin/backtrace\n", {}, LAUNCHED, 1, "application launched in boot 1"),
    "reboots-then-launch": ("n=$(cat /user/n 2>/dev/null || echo 0); n=$((n+1)); echo $n > /user/n\n"
                            "if [ $n -lt 3 ]; then reboot; exit 0; fi\n" + APP + "exec /bin/backtrace\n",
                            {}, LAUNCHED, 3, "application launched in boot 3"),
    "reboot-loop": ("reboot; exit 0\n", {"max_boots": 3}, NO_LAUNCH, 3, "3 boot(s) ended without"),
    "exit-without-reboot": ("echo giving up; exit 5\n", {}, NO_LAUNCH, 1, "without a reboot"),
    "hang": ("sleep 100\n", {"timeout": 1.5}, TIMEOUT, 1, "timeout after 1.5 s in boot 1"),
    "gdbserver": (APP + "/bin/sh -c '/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip'\nreboot; exit 0\n", {},
                  LAUNCHED, 1, "application launched"),
    # Both runs last a few milliseconds: the launch must still be seen.
    "debugger": (APP + "printf '#!/bin/sh\\nexec \"$@\"\\n' > /tmp/gdb; chmod +x /tmp/gdb\n"
                 "/bin/sh -c '/tmp/gdb /tmp/home/bin/mp.elf.strip'\nreboot; exit 0\n", {}, LAUNCHED, 1,
                 "application launched"),
    # Recorded, but not a launch: bootmgr reboots after a memory-checker run.
    "memory-checker": (APP + "/bin/sh -c 'LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip x'\n"
                       "reboot; exit 0\n", {"max_boots": 1}, NO_LAUNCH, 1, "1 boot(s) ended without"),
    "reboot-but-keeps-running": ("reboot; sleep 100\n", {"max_boots": 2, "timeout": 30}, NO_LAUNCH, 2,
                                 "2 boot(s) ended without"),
}


@pytest.mark.parametrize("road", sorted(ROADS))
def test_boot_loop_roads(board, tmp_path, road):
    body, opts, status, boots, fragment = ROADS[road]
    fake = shell_script(tmp_path, name="bootmgr", body=body)
    proc = board.boot(bootmgr=fake, **{"timeout": 30, **opts})
    assert proc.returncode == status, proc.stdout + proc.stderr
    assert last_line(proc.stdout).startswith("boardsim: ")
    assert fragment in last_line(proc.stdout)
    assert [e["boot"] for e in board.events("boot")] == list(range(1, boots + 1))
    for e in board.events():
        assert isinstance(e["t"], float) and e["t"] >= 0
    times = [e["t"] for e in board.events()]
    assert times == sorted(times), "one clock for boardsim and the stand-ins"


def test_launch_events_name_the_launcher(board, tmp_path):
    board.boot(bootmgr=shell_script(tmp_path, name="bm", body=ROADS["gdbserver"][0]))
    ex = board.events("exec")
    assert [(e["program"], e["args"]) for e in ex] == [("/bin/gdbserver", [":1234", "/tmp/home/bin/mp.elf.strip"])]
    board.clear_events()
    board.boot(bootmgr=shell_script(tmp_path, name="bm2", body=ROADS["debugger"][0]))
    assert [(e["program"], e["args"]) for e in board.events("exec")] == [("/tmp/gdb", ["/tmp/home/bin/mp.elf.strip"])]
    board.clear_events()
    board.boot(bootmgr=shell_script(tmp_path, name="bm4", body=ROADS["memory-checker"][0]), max_boots=1)
    assert [(e["program"], e["args"], e["preload"]) for e in board.events("exec")] == [
        ("/tmp/home/bin/mp.elf.strip", ["x"], "libduma.so.0.0.0")]
    board.clear_events()
    board.boot(bootmgr=shell_script(tmp_path, name="bm3", body=ROADS["backtrace"][0]))
    assert [e["status"] for e in board.events("exit")] == [4], "the launcher's end is bootmgr's process ending"


def test_each_boot_has_a_fresh_tmp_and_the_same_user(board, tmp_path):
    body = ("if [ -e /tmp/mark ]; then echo TMP-SURVIVED; fi; touch /tmp/mark\n"
            "echo x >> /user/boots; n=$(wc -l < /user/boots)\n"
            "if [ $n -lt 2 ]; then reboot; exit 0; fi\necho boots=$n\n")
    proc = board.boot(bootmgr=shell_script(tmp_path, name="bm", body=body))
    assert "TMP-SURVIVED" not in proc.stdout
    assert "boots=2" in proc.stdout


def test_power_cut_interrupts_a_flash_write_and_the_board_boots_again(board, tmp_path):
    body = ("if [ ! -e /user/once ]; then touch /user/once\n"
            "  head -c 4096 /dev/zero | dd of=/dev/mtd-kernel bs=1024 conv=notrunc 2>/dev/null\n"
            "  echo STILL-RUNNING; sleep 100; fi\necho second boot\n")
    proc = board.boot(bootmgr=shell_script(tmp_path, name="bm", body=body), faults=["power_cut_after=1500"], timeout=30)
    assert proc.returncode == NO_LAUNCH, proc.stdout
    assert "STILL-RUNNING" not in proc.stdout and "second boot" in proc.stdout
    kinds = [e["kind"] for e in board.events() if e["kind"] in ("boot", "flash-write", "power-cut")]
    assert kinds == ["boot", "flash-write", "flash-write", "power-cut", "boot"]
    kernel = board.flash("kernel", 0, 2048)
    assert kernel[:1500] == b"\0" * 1500 and kernel[1500:] == b"\xff" * 548


def test_fast_mode_shortens_waits(board, tmp_path):
    # 30 s of board time are 3 s in a fast boot; the bound leaves a loaded
    # machine room and still fails a boot that waits the whole 30 s.
    fake = shell_script(tmp_path, name="bm", body="sleep 30\n" + APP + "exec /bin/backtrace\n")
    start = time.monotonic()
    proc = board.boot(bootmgr=fake, fast=True, timeout=60)
    assert proc.returncode == LAUNCHED, proc.stdout
    assert time.monotonic() - start < 20
    assert board.events("boot")[0].get("fast") is True


def test_console_is_a_terminal_with_interrupt_key(board, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    body = ("echo tty=$(tty)\ntrap 'echo GOT-SIGINT' INT\nprintf 'name? '\nread name\necho hello $name\n"
            "sleep 5 & wait\necho after-wait\nexit 0\n")
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, name="bm", body=body), timeout=30)
    child.expect("tty=/dev/ttyS0")
    child.expect("name\\? ")
    child.sendline("board")
    child.expect("hello board")
    time.sleep(0.3)
    child.sendcontrol("c")
    child.expect("GOT-SIGINT")
    child.expect("after-wait")
    child.expect("boardsim: ")
    assert Board.wait_boot(child) == NO_LAUNCH
    del pexpect


def test_output_before_a_drain_and_flush_reaches_the_console(board, tmp_path):
    # As a program does before it switches the line's speed: print, wait
    # until the output has left (tcdrain), discard both queues (tcflush).
    body = ("/usr/bin/python3 -c '\nimport sys, termios\nfor i in range(300):\n"
            "    sys.stdout.write(\"line %d\\n\" % i); sys.stdout.flush()\n"
            "    termios.tcdrain(1); termios.tcflush(1, termios.TCIOFLUSH)\n'\n")
    proc = board.boot(bootmgr=shell_script(tmp_path, name="bm", body=body), timeout=60)
    lines = [l.strip() for l in proc.stdout.splitlines() if l.startswith("line ")]
    assert lines == [f"line {i}" for i in range(300)]


def test_events_log_is_one_json_object_per_line(board, tmp_path):
    board.boot(bootmgr=shell_script(tmp_path, name="bm", body="printf 'a\"b\\\\c' > /dev/null; /bin/mount 'we\"ird' /user\n"))
    for line in (board.path / "events.log").read_text().splitlines():
        ev = json.loads(line)
        assert {"t", "boot", "kind"} <= set(ev)
    assert board.events("shell")[0]["args"] == ['we"ird', "/user"]


def test_rx_receives_to_an_absolute_path(board):
    # lrzsz refuses absolute paths in restricted mode; the board's rx must not.
    cmd = ("cd /tmp; head -c 3000 /dev/urandom > src; mkfifo a b; (/usr/bin/sx -q src <a >b 2>/dev/null &); "
           "rx -q /tmp/dst >a <b 2>/dev/null; echo rc=$?; head -c 3000 dst | cmp - src && echo SAME")
    proc = board.run("/bin/sh", "-c", cmd, timeout=60)
    assert proc.stdout.split() == ["rc=0", "SAME"]
    assert board.events("shell")[0]["args"] == ["-q", "/tmp/dst"]


def test_a_killed_run_leaves_no_dead_device_mount(board):
    import signal
    import subprocess
    from boardsim_helpers import boardsim_path
    if os.geteuid() != 0:
        pytest.skip("dead mounts are only cleared when boardsim runs as root")
    def mounts():
        return {l.split()[1] for l in open("/proc/self/mounts") if l.startswith("boardsim ")}
    before = mounts()  # other boards may be running on this machine
    proc = subprocess.Popen([boardsim_path(), "run", str(board.path), "--", "/bin/sh", "-c", "sleep 30"])
    deadline = time.monotonic() + 10
    mine = set()
    while not mine and time.monotonic() < deadline:
        time.sleep(0.05)
        mine = mounts() - before
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    time.sleep(0.2)
    board.run("/bin/true", check=True)

    def dead(path):
        try:
            os.statvfs(path)
            return False
        except OSError:
            return True
    # Boards of other tests may have started meanwhile; theirs are alive.
    assert mine and not {p for p in mine & mounts() if dead(p)}


def test_a_second_run_leaves_a_live_run_alone(board):
    import subprocess
    from boardsim_helpers import boardsim_path
    first = subprocess.Popen([boardsim_path(), "run", str(board.path), "--", "/bin/sh", "-c",
                              "sleep 1; dd if=/dev/mtd-kernel bs=1 count=1 2>/dev/null | wc -c"],
                             stdout=subprocess.PIPE, text=True)
    time.sleep(0.3)
    board.run("/bin/true", check=True)
    out, _ = first.communicate(timeout=30)
    assert first.returncode == 0 and out.strip() == "1"


# --- events.log runs and --trace -----------------------------------------

def test_each_run_begins_with_a_numbered_start_line(board, tmp_path):
    fake = shell_script(tmp_path, name="bm", body=APP + "exec /bin/backtrace\n")
    before = datetime.datetime.now(datetime.timezone.utc)
    board.boot(bootmgr=fake, timeout=30)
    board.run("true")
    board.boot(bootmgr=fake, timeout=30)
    starts = board.events("start")
    assert [(e["run"], e["verb"], e["boot"]) for e in starts] == [(1, "boot", 0), (2, "run", 0), (3, "boot", 0)]
    for e in starts:
        wall = datetime.datetime.strptime(e["wall"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
        assert before - datetime.timedelta(seconds=2) <= wall <= datetime.datetime.now(datetime.timezone.utc)
    run = 0
    for e in board.events():
        run = e["run"] if e["kind"] == "start" else run
        assert e["run"] == run, f"{e} belongs to run {run}: boardsim, stand-ins and uplink share the number"
    assert [e["run"] for e in board.events("exec")] == [1, 3]
    board.clear_events()
    board.run("true")
    assert board.events("start")[0]["run"] == 1, "a cleared log counts from 1 again"


def test_flash_offsets_are_logged_in_hex(board):
    # (NVRAM addresses: tests/tools/boardsim_sandbox_test.cpp, through i2c-dev.)
    board.run("/bin/sh", "-c", "dd if=/dev/zero of=/dev/mtd-kernel bs=100 count=1 seek=3 conv=notrunc 2>/dev/null",
              check=True)
    (w,) = board.events("flash-write")
    assert (w["offset"], w["length"]) == ("0x12c", 100)


TRACE_LINE = re.compile(r"\x1b\[2m\[trace \d+\.\d{3}\] ([^\x1b\n]*)\x1b\[0m\n")
TRACED = ("echo first\nsleep 0.2\necho k > /user/key.txt\nsleep 0.3\n"
          "head -c 4096 /dev/zero | dd of=/dev/mtd-kernel bs=1024 conv=notrunc 2>/dev/null\n"
          "sleep 0.3\necho second\n" + APP + "exec /bin/backtrace\n")


def test_trace_shows_events_between_the_board_lines(board, tmp_path):
    fake = shell_script(tmp_path, name="bm", body=TRACED)
    plain = board.boot(bootmgr=fake, timeout=30)
    assert plain.returncode == LAUNCHED, plain.stdout
    assert plain.stdout == ("first\nsecond\napp running \"\"\n"
                            "boardsim: application launched in boot 1 and ended\n"), "the console alone, byte-exact"
    traced = board.boot(bootmgr=fake, timeout=30, trace=True)
    assert traced.returncode == LAUNCHED, traced.stdout
    assert TRACE_LINE.sub("", traced.stdout) == plain.stdout, "trace lines are whole lines of their own"
    shown = TRACE_LINE.findall(traced.stdout)
    assert shown[:2] == ["run 2: boardsim boot at " + board.events("start")[1]["wall"], "boot 1"]
    for text in ["write /user/key.txt (2 bytes)", "mtd-kernel write 0x0-0x1000 (4096 bytes, 4 writes)",
                 "launch /bin/backtrace", "bootmgr ended, status 4"]:
        assert text in shown, shown
    order = [l for l in traced.stdout.splitlines() if "first" in l or "second" in l or "key.txt" in l
             or "mtd-kernel" in l]
    assert order[0] == "first" and order[-1] == "second", order


def test_trace_without_colour(board, tmp_path):
    fake = shell_script(tmp_path, name="bm", body=TRACED)
    env = {**os.environ, "NO_COLOR": "1"}
    proc = subprocess.run([os.environ["BOARDSIM"], *board.boot_args(bootmgr=fake, timeout=30, trace=True)],
                          capture_output=True, text=True, env=env, timeout=60, stdin=subprocess.DEVNULL)
    assert "\x1b" not in proc.stdout
    assert re.search(r"^\[trace \d+\.\d{3}\] write /user/key.txt \(2 bytes\)$", proc.stdout, re.M), proc.stdout
