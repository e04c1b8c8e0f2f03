"""Helpers for tests that run on the emulated board (boardsim).

The binaries come from the environment, as CTest sets it:
  BOARDSIM  path of the boardsim binary (required)
  BOOTMGR   path of the bootmgr binary (optional; boardsim's default is the
            bootmgr next to it)

A Board wraps one board directory:

    board = Board.create(tmp_path / "board", serial="SIM000000042")
    board.env_set(gdbserver="on")
    board.nvram_set(0x100, 2)
    board.usb_put("NPX7710_OS.img", image_bytes)
    board.usb_insert(mount_after=3)                     # /tmp/usb 3 s after bootmgr starts
    board.fault("power_cut_at=user-rename:1")           # power fails at the first rename in /user
    board.tftp_put("image.img", image_bytes)            # served by TFTP at PEER_ADDRESS
    board.dhcp(True)                                    # the peer answers DHCP too
    child = board.spawn_boot(max_boots=2, timeout=60)   # pexpect, console
    child.expect("Booting image '2'")
    board.cable(False)                                  # unplugged while it runs: eth0 loses its link
    status = board.wait_boot(child)                        # 0, 1 or 3
    assert board.events("exec")[0]["program"] == "/bin/backtrace"

XMODEM over the console, with a board waiting in its receiver:

    child.expect("hit the <ENTER> key")
    proc = board.xmodem_send(path, block=1024, pace=115200, enter=True)   # lrzsz sx, Enter first
    assert proc.returncode == 0
    child.expect("Change the baud rate back")                             # the console is back
"""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path
from typing import Iterable, Optional

# The board's network (boardsim net --help): the server at the other end of
# eth0's cable, and the DHCP pool it leases from when DHCP is on.
PEER_ADDRESS = "192.168.1.10"
NETMASK = "255.255.255.0"
POOL_FIRST = "192.168.1.100"
POOL_LAST = "192.168.1.150"
BOARD_MAC = "02:00:00:00:00:02"

# Exit statuses of "boardsim boot".
LAUNCHED = 0
NO_LAUNCH = 1
SETUP_ERROR = 2
TIMEOUT = 3


def boardsim_path() -> str:
    path = os.environ.get("BOARDSIM")
    if not path:
        raise RuntimeError("BOARDSIM is not set: run the tests through ctest or set it to build/host/bin/boardsim")
    return path


def bootmgr_path() -> Optional[str]:
    return os.environ.get("BOOTMGR") or None


def boardsim(*args: str, check: bool = True, timeout: float = 120, input: Optional[str] = None,
             ) -> subprocess.CompletedProcess:
    """Runs boardsim with the arguments; returns the completed process (text)."""
    proc = subprocess.run([boardsim_path(), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, input=input, errors="replace")
    if check and proc.returncode != 0:
        raise AssertionError(f"boardsim {' '.join(map(str, args))} exited {proc.returncode}\n"
                             f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def shell_script(folder: Path, body: str, name: str = "bootmgr") -> str:
    """An executable shell script FOLDER/NAME with the given body, e.g. a
    stand-in for bootmgr ("boardsim boot --bootmgr"); returns its path."""
    path = Path(folder) / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return str(path)


class Board:
    """One board directory."""

    def __init__(self, path: Path | str):
        self.path = Path(path)

    @classmethod
    def create(cls, path: Path | str, serial: Optional[str] = None, freeze: Optional[str] = None,
               faults: Iterable[str] = (), force: bool = True) -> "Board":
        args = ["new", str(path)]
        if serial:
            args += ["--serial", serial]
        if freeze:
            args += ["--freeze", freeze]
        for f in faults:
            args += ["--fault", f]
        if force:
            args.append("--force")
        boardsim(*args)
        return cls(path)

    # --- persistent state -------------------------------------------------
    def env_set(self, **entries: str) -> None:
        boardsim("env", self.path, "set", *[f"{k}={v}" for k, v in entries.items()])

    def env_set_raw(self, *assignments: str) -> None:
        """Entries whose names are not Python identifiers, e.g. "my-var=1"."""
        boardsim("env", self.path, "set", *assignments)

    def env_unset(self, *names: str) -> None:
        boardsim("env", self.path, "unset", *names)

    def env(self) -> dict[str, str]:
        out = boardsim("env", self.path, "show").stdout
        return dict(line.split("=", 1) for line in out.splitlines() if line)

    def env_erase(self) -> None:
        """Erases the environment block (all 0xFF), as on a board never configured."""
        part = self.flash_path("ubootenv")
        data = bytearray(part.read_bytes())
        data[:65536] = b"\xff" * 65536
        part.write_bytes(bytes(data))

    def nvram_set(self, address: int, *values: int) -> None:
        boardsim("nvram", self.path, "set", f"{address:x}", *[f"{v:x}" for v in values])

    def nvram_get(self, address: int, count: int = 1) -> bytes:
        out = boardsim("nvram", self.path, "get", f"{address:x}", f"{count:x}").stdout
        return bytes(int(b, 16) for line in out.splitlines() for b in line.split(":", 1)[1].split())

    def clock(self, action: str, when: Optional[str] = None) -> str:
        return boardsim("clock", self.path, action, *([when] if when else [])).stdout.strip()

    def fault(self, *assignments: str) -> None:
        boardsim("fault", self.path, "set", *assignments)

    def clear_faults(self) -> None:
        boardsim("fault", self.path, "clear")

    def usb(self, inserted: bool = True, mount_after: Optional[float] = None) -> Path:
        """Inserts (or removes) the USB stick; returns the folder holding its files.

        mount_after: seconds of board time after bootmgr starts until the
        platform mounts the stick (None: at once).
        """
        if not inserted:
            boardsim("usb", self.path, "remove")
        elif mount_after is None:
            boardsim("usb", self.path, "insert")
        else:
            boardsim("usb", self.path, "insert", "--mount-after", f"{mount_after:g}")
        return self.path / "usb"

    def usb_insert(self, mount_after: Optional[float] = None) -> Path:
        return self.usb(True, mount_after)

    def usb_remove(self) -> None:
        self.usb(False)

    def usb_put(self, name: str, content: bytes | Path | str) -> Path:
        """Puts a file on the stick (bytes, or a copy of a host file); returns its path."""
        target = self.path / "usb" / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content if isinstance(content, bytes) else Path(content).read_bytes())
        return target

    def usb_show(self) -> tuple[str, list[tuple[str, int, str]]]:
        """The stick's state line and its files as (MD5, size, path), sorted by path."""
        lines = boardsim("usb", self.path, "show").stdout.splitlines()
        files = []
        for line in lines[1:]:
            md5, size, path = line.split("  ", 2)
            files.append((md5, int(size), path))
        return lines[0], files

    def flash_path(self, partition: str) -> Path:
        return self.path / "flash" / f"{partition}.bin"

    def flash(self, partition: str, offset: int = 0, length: Optional[int] = None) -> bytes:
        data = self.flash_path(partition).read_bytes()
        return data[offset:] if length is None else data[offset:offset + length]

    @property
    def user(self) -> Path:
        return self.path / "user"

    @property
    def tftp(self) -> Path:
        return self.path / "tftp"

    def tftp_put(self, name: str, content: bytes | Path | str) -> Path:
        """Puts a file where the board's TFTP server serves it (bytes, or a copy of a host file)."""
        target = self.tftp / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content if isinstance(content, bytes) else Path(content).read_bytes())
        return target

    # --- management port --------------------------------------------------
    def cable(self, plugged: bool = True) -> None:
        """Plugs or unplugs eth0's cable; a running board follows within milliseconds."""
        boardsim("cable", self.path, "plug" if plugged else "unplug")

    def cable_plugged(self) -> bool:
        return boardsim("cable", self.path, "show").stdout.strip() == "plugged"

    def dhcp(self, on: bool = True) -> None:
        """Lets the board's network peer answer DHCP (or not); a running board follows."""
        boardsim("net", self.path, "dhcp", "on" if on else "off")

    def network_log(self) -> str:
        """What the board's TFTP/DHCP server (dnsmasq) logged, DIR/network.log."""
        log = self.path / "network.log"
        return log.read_text(errors="replace") if log.exists() else ""

    # --- event log --------------------------------------------------------
    def events(self, kind: Optional[str] = None, boot: Optional[int] = None) -> list[dict]:
        """Events of DIR/events.log, optionally only one kind and/or one boot."""
        log = self.path / "events.log"
        if not log.exists():
            return []
        out = []
        for line in log.read_text(errors="replace").splitlines():
            if not line.strip():
                continue
            ev = json.loads(line)
            if (kind is None or ev["kind"] == kind) and (boot is None or ev["boot"] == boot):
                out.append(ev)
        return out

    def clear_events(self) -> None:
        (self.path / "events.log").write_text("")

    # --- running ----------------------------------------------------------
    def boot_args(self, max_boots: Optional[int] = None, timeout: Optional[float] = None, fast: bool = False,
                  bootmgr: Optional[str] = None, faults: Iterable[str] = (), ro: Iterable[str] = (),
                  trace: bool = False) -> list[str]:
        args = ["boot", str(self.path)]
        if trace:
            args.append("--trace")
        if max_boots is not None:
            args += ["--max-boots", str(max_boots)]
        if timeout is not None:
            args += ["--timeout", str(timeout)]
        if fast:
            args.append("--fast")
        bootmgr = bootmgr or bootmgr_path()
        if bootmgr:
            args += ["--bootmgr", str(bootmgr)]
        for f in faults:
            args += ["--fault", f]
        for p in ro:
            args += ["--ro", str(p)]
        return args

    def spawn_boot(self, *, expect_timeout: float = 30, **kwargs):
        """Starts "boardsim boot" under pexpect with the console on its terminal.

        kwargs go to boot_args (max_boots, timeout, fast, bootmgr, faults, ro, trace).
        Returns the pexpect child; use wait_boot to collect the exit status.
        """
        import pexpect  # only scenario tests need it

        child = pexpect.spawn(boardsim_path(), self.boot_args(**kwargs), timeout=expect_timeout,
                              encoding="utf-8", codec_errors="replace", dimensions=(50, 200))
        return child

    @staticmethod
    def wait_boot(child, timeout: float = 120) -> int:
        """Waits for "boardsim boot" to end; returns its exit status."""
        import pexpect

        child.expect(pexpect.EOF, timeout=timeout)
        child.close()
        return child.exitstatus if child.exitstatus is not None else 128 + (child.signalstatus or 0)

    def boot(self, input: str = "", **kwargs) -> subprocess.CompletedProcess:
        """Runs "boardsim boot" without a terminal (console input from input)."""
        limit = (kwargs.get("timeout") or 120) + 30
        return boardsim(*self.boot_args(**kwargs), check=False, timeout=limit, input=input)

    def send(self, *program: str, pace: Optional[int] = None, enter: bool = False, timeout: float = 300,
             ) -> subprocess.CompletedProcess:
        """Runs a program on the console of the board that "boardsim boot" is running
        ("boardsim send"), e.g. while a pexpect child from spawn_boot waits.

        pace: the line's speed in bits per second (None: as fast as the console takes bytes);
        enter: type Enter on the console first, as the operator does to start the receiver.
        """
        args = ["send", str(self.path)]
        if pace:
            args += ["--pace", str(pace)]
        if enter:
            args.append("--enter")
        return boardsim(*args, "--", *program, check=False, timeout=timeout)

    def xmodem_send(self, path: Path | str, block: int = 1024, **kwargs) -> subprocess.CompletedProcess:
        """Sends a host file by XMODEM with lrzsz sx, in 1024-byte (block=1024) or 128-byte
        blocks, to the board's receiver; kwargs go to send (pace, enter, timeout)."""
        if block not in (128, 1024):
            raise ValueError("XMODEM blocks are 128 or 1024 bytes")
        return self.send("sx", *(["-k"] if block == 1024 else []), str(path), **kwargs)

    def run(self, *command: str, check: bool = False, ro: Iterable[str] = (), faults: Iterable[str] = (),
            timeout: float = 120) -> subprocess.CompletedProcess:
        """Runs a command inside the board's sandbox ("boardsim run")."""
        args = ["run", str(self.path)]
        for p in ro:
            args += ["--ro", str(p)]
        for f in faults:
            args += ["--fault", f]
        return boardsim(*args, "--", *command, check=check, timeout=timeout)


def last_line(output: str) -> str:
    """The last non-empty line of boardsim's output, without carriage returns."""
    lines = [l.strip("\r") for l in output.splitlines() if l.strip()]
    return lines[-1] if lines else ""


def expect_lines(out: str, lines: list[str]) -> None:
    """Asserts that each of `lines` appears in `out`, in this order."""
    at = 0
    for line in lines:
        found = out.find(line, at)
        assert found >= 0, f"{line!r} missing (in order) from:\n{out}"
        at = found + len(line)
