"""A program on the running board's console ("boardsim send"): XMODEM from
lrzsz sx on the host to lrzsz rx on the board, through the console's
pseudo-terminal, at the line's speed or as fast as it goes; the console's
own relay stands aside meanwhile and takes over again afterwards. Run by
CTest with BOARDSIM set; bootmgr is replaced by small shell scripts.
"""

import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import NO_LAUNCH, SETUP_ERROR, Board, boardsim, boardsim_path, shell_script  # noqa: E402

pexpect = pytest.importorskip("pexpect")
if not shutil.which("sx"):
    pytest.skip("lrzsz's sx is not installed", allow_module_level=True)

SUB = 0x1A  # XMODEM pads the last block with it


def payload(size):
    """Every byte value, the console's stop key (0x1D) and interrupt key (0x03)
    in runs and next to the protocol's own bytes, then pseudo-random bytes."""
    head = bytes(range(256)) + b"\x1d" * 300 + b"\x03" * 300 + b"\x1d\x03\x18\x18\x04\x01\x02\x11\x13" * 40
    rnd = bytearray()
    x = 12345
    while len(head) + len(rnd) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        rnd.append(x >> 16 & 0xFF)
    return (head + bytes(rnd))[:size]


# The board's receiving end as bootmgr's XMODEM rescue runs it: wait for
# Enter, switch the console to 115200 bps raw, rx, then wait for the
# operator again.
RECEIVER = """echo "waiting for Enter"
read go
stty 115200 raw -echo
/usr/bin/rx /tmp/image
echo "rx=$? size=$(wc -c < /tmp/image)"
cp /tmp/image /user/received
echo "back at the console"
read done
echo "done: $done"
"""


@pytest.mark.parametrize("block", [1024, 128])
@pytest.mark.parametrize("pace", [115200, None])
def test_xmodem_reaches_rx_on_the_board_byte_for_byte(board, tmp_path, block, pace):
    data = payload(24_000 if pace else 120_000)
    source = tmp_path / "image.img"
    source.write_bytes(data)
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, RECEIVER), timeout=120)
    child.expect("waiting for Enter")
    start = time.monotonic()
    proc = board.xmodem_send(source, block=block, pace=pace, enter=True)
    took = time.monotonic() - start
    assert proc.returncode == 0, proc.stderr
    child.expect(r"rx=0 size=(\d+)")
    child.expect("back at the console")
    child.sendline("yes")
    child.expect("done: yes")
    assert Board.wait_boot(child) == NO_LAUNCH, "the stop key never fired"
    received = (board.user / "received").read_bytes()
    assert received[:len(data)] == data
    assert len(received) - len(data) < block and set(received[len(data):]) <= {SUB}
    if pace:
        # 24000 bytes, ten bits each, at 115200 bit/s take 2.1 s at least
        assert took > len(data) * 10 / pace


def test_keys_typed_meanwhile_reach_the_board_after_the_program(board, tmp_path):
    body = 'echo ready\nread first\necho "first: $first"\nread second\necho "second: $second"\n'
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), timeout=60)
    child.expect("ready")
    sender = subprocess.Popen([boardsim_path(), "send", str(board.path), "--", "/bin/sh", "-c",
                               "sleep 1; printf 'from the program\\r'"], stderr=subprocess.PIPE)
    time.sleep(0.5)
    child.send("typed\r")
    assert sender.wait(timeout=30) == 0
    child.expect(r"first: ([^\r\n]*)")
    assert child.match.group(1) == "from the program"
    child.expect(r"second: ([^\r\n]*)")
    assert child.match.group(1) == "typed"
    Board.wait_boot(child)


def test_board_output_the_program_did_not_read_is_shown(board, tmp_path):
    # The program reads what there is, keeps the first byte and ends, as sx
    # does with the last ACK: the rest of what the board wrote at once is
    # shown on the console afterwards.
    body = 'stty -echo\necho ready\nread go\nprintf "Xthe rest of the line\\n"\nread next\necho "after: $next"\n'
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), timeout=60)
    child.expect("ready")
    proc = board.send(sys.executable, "-c", "import os, sys; sys.stderr.write(os.read(0, 4096)[:1].decode())",
                      enter=True)
    assert proc.returncode == 0 and proc.stderr == "X"
    child.expect(r"([^\n]*)the rest of the line")
    assert "X" not in child.match.group(1)
    child.sendline("x")
    child.expect("after: x")
    Board.wait_boot(child)


def test_one_program_at_a_time_and_none_after_the_board_stops(board, tmp_path):
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, "echo ready\nsleep 3\n"), timeout=60)
    child.expect("ready")
    first = subprocess.Popen([boardsim_path(), "send", str(board.path), "--", "sleep", "30"],
                             stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    second = board.send("true")
    assert second.returncode == SETUP_ERROR and "another program has the console" in second.stderr
    assert first.wait(timeout=30) == SETUP_ERROR, "the board stopped while sleep had the console"
    assert "the board stopped before sleep ended" in first.stderr.read()
    Board.wait_boot(child)
    gone = board.send("true")
    assert gone.returncode == SETUP_ERROR and "no board is running" in gone.stderr
    assert not (board.path / "run" / "console.sock").exists()


def test_a_second_boot_of_a_running_board_is_refused(board, tmp_path):
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, "echo ready\nread stop\n"), timeout=60)
    child.expect("ready")
    proc = board.boot(bootmgr=shell_script(tmp_path, "echo second\n"), timeout=10)
    assert proc.returncode == SETUP_ERROR and "running already" in proc.stdout
    child.sendline("")
    Board.wait_boot(child)


@pytest.mark.parametrize("args, message", [
    ([], "missing DIR"),
    (["{b}"], "missing -- PROGRAM"),
    (["{b}", "--pace", "fast", "--", "true"], "--pace needs"),
    (["{b}", "--pace", "10", "--", "true"], "--pace needs"),
    (["{b}", "true"], "the program goes after --"),
    (["{b}", "--slow", "--", "true"], "unknown option"),
])
def test_send_usage_errors(board, args, message):
    proc = boardsim("send", *[a.format(b=board.path) for a in args], check=False)
    assert proc.returncode == SETUP_ERROR
    assert message in proc.stderr


def test_a_program_that_cannot_start(board, tmp_path):
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, "echo ready\nread stop\necho stop=$stop\n"), timeout=60)
    child.expect("ready")
    proc = board.send(str(tmp_path / "no-such-program"))
    assert proc.returncode == 127 and "cannot run" in proc.stderr
    child.sendline("here")
    child.expect("stop=here")
    Board.wait_boot(child)
