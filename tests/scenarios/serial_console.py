"""The emulated board's console as a byte stream, for file transfers.

"boardsim boot" relays its standard input and output to the board's console
byte for byte when they are not a terminal (no Ctrl-] handling, no line
discipline on boardsim's side), so a transfer program can be connected to
them. PipeConsole does that, with expect/send for the operator's part and
transfer() for the sender's:

    con = PipeConsole(board, timeout=120)
    con.expect(b"Option? : ")
    con.send(b"x")
    con.expect(b"before initiating the download.")
    con.enter_when_switched()
    con.transfer(["sx", "-k", "image.img"], until=b"Change the baud rate back")

lrzsz's rx discards its input right after each ACK, and bytes on a
pseudo-terminal arrive at once, so a block sent back quickly would be lost:
transfer() holds the sender's bytes until the board has been quiet for a
moment and then passes them at about the line's speed (115200 bps).

rx also discards its unread output when it ends (after waiting for it to be
sent, which a pseudo-terminal reports at once), so its last ACK can be lost
on the emulated console and sx then repeats its EOT in vain: for rx the
board's own result is what counts, not sx's exit status.
"""

from __future__ import annotations

import os
import select
import subprocess
import time
from typing import Callable, Optional

from boardsim_helpers import Board, boardsim_path

LINE_BYTES_PER_SECOND = 11520
QUIET_BEFORE_SENDING = 0.1


class PipeConsole:
    def __init__(self, board: Board, **boot_kwargs):
        self.proc = subprocess.Popen([boardsim_path(), *board.boot_args(**boot_kwargs)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.out = self.proc.stdout.fileno()
        self.into = self.proc.stdin.fileno()
        os.set_blocking(self.out, False)
        self.data = b""  # everything the console showed
        self.pos = 0     # where the next expect starts

    def _read(self, timeout: float) -> bytes:
        ready, _, _ = select.select([self.out], [], [], timeout)
        if not ready:
            return b""
        try:
            chunk = os.read(self.out, 65536)
        except BlockingIOError:
            return b""
        self.data += chunk
        return chunk

    def expect(self, text: bytes, timeout: float = 30) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.data[self.pos:]:
            left = deadline - time.monotonic()
            if left <= 0 or (self.proc.poll() is not None and not self._read(0)):
                raise AssertionError(f"{text!r} not shown; the console showed:\n"
                                     f"{self.data.decode(errors='replace')}")
            self._read(min(left, 0.1))
        self.pos = self.data.index(text, self.pos) + len(text)

    def send(self, data: bytes) -> None:
        os.write(self.into, data)

    def enter_when_switched(self) -> None:
        """Presses Enter once the line has switched: the board discards what
        was typed before the switch, so the key waits a moment."""
        time.sleep(0.5)
        self.send(b"\r")

    def transfer(self, sender: list[str], until: bytes, timeout: float = 120,
                 tamper: Optional[Callable[[bytes, int], bytes]] = None,
                 cancel_after: Optional[int] = None) -> Optional[int]:
        """Runs the sender with its standard input and output on the console
        until the board shows `until` (the receiving side is done) and the
        sender has ended, or two seconds after that; returns the sender's
        exit status, or None when it had to be stopped. `tamper(piece,
        offset)` may change the sender's bytes on their way (offset counts
        from its first byte). Once `cancel_after` bytes are sent and the
        board has answered, the sender is stopped and the line gets CAN CAN
        instead of its next block, as from a sender the operator cancelled."""
        snd = subprocess.Popen(sender, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        to_sender = snd.stdin.fileno()
        from_sender = snd.stdout.fileno()
        os.set_blocking(from_sender, False)
        start = len(self.data)
        held = b""
        sent = 0
        answered = False  # the board spoke since the sender's last bytes
        last_board = time.monotonic()
        board_done: Optional[float] = None
        deadline = time.monotonic() + timeout
        sender_open = True
        while time.monotonic() < deadline:
            fds = [self.out] + ([from_sender] if sender_open else [])
            ready, _, _ = select.select(fds, [], [], 0.005)
            if self.out in ready and (chunk := self._read(0)):
                last_board = time.monotonic()
                answered = True
                if sender_open:
                    try:
                        os.write(to_sender, chunk)
                    except BrokenPipeError:
                        pass
            if sender_open and from_sender in ready:
                try:
                    chunk = os.read(from_sender, 65536)
                    if chunk:
                        held += chunk
                    else:
                        sender_open = False
                except BlockingIOError:
                    pass
            if held and time.monotonic() - last_board >= QUIET_BEFORE_SENDING:
                if cancel_after is not None and sent >= cancel_after and answered:
                    snd.kill()
                    snd.wait()
                    self.send(b"\x18\x18")
                    return None
                piece, held = held[:64], held[64:]
                if tamper:
                    piece = tamper(piece, sent)
                answered = False
                sent += len(piece)
                self.send(piece)
                time.sleep(len(piece) / LINE_BYTES_PER_SECOND)
            if board_done is None and until in self.data[start:]:
                board_done = time.monotonic()
            if not held and snd.poll() is not None and (board_done or not sender_open):
                return snd.returncode
            if board_done is not None and time.monotonic() - board_done > 2:
                snd.kill()
                snd.wait()
                return None
        snd.kill()
        snd.wait()
        raise AssertionError("the transfer did not end; the console showed:\n"
                             + self.data.decode(errors="replace"))

    def wait(self, timeout: float = 120) -> int:
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self._read(0.1)
        while self._read(0):
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("boardsim did not end; the console showed:\n"
                                 + self.data.decode(errors="replace"))
        return self.proc.returncode

    def text(self) -> str:
        return self.data.decode(errors="replace").replace("\r", "")
