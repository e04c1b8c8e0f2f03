"""boardsim status (text and --json) on a table of board states, and the
other verbs that help people see into a board: "env set" warnings and
"new" leaving nothing behind. Run by CTest with BOARDSIM set (the demo
images come from the build next to it)."""

import hashlib
import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import Board, boardsim  # noqa: E402


def status(board):
    proc = boardsim("status", board.path, "--json")
    return json.loads(proc.stdout)


def subset(expected, actual, where="status"):
    """Every key of expected is in actual with the same value (recursively for
    objects, element by element for lists of objects)."""
    if isinstance(expected, dict):
        assert isinstance(actual, dict), f"{where}: {actual!r} is not an object"
        for k, v in expected.items():
            assert k in actual, f"{where}.{k} missing from {actual!r}"
            subset(v, actual[k], f"{where}.{k}")
    elif isinstance(expected, list) and expected and isinstance(expected[0], dict):
        assert isinstance(actual, list) and len(actual) == len(expected), f"{where}: {actual!r}"
        for i, (e, a) in enumerate(zip(expected, actual)):
            subset(e, a, f"{where}[{i}]")
    else:
        assert expected == actual, f"{where}: expected {expected!r}, got {actual!r}"


def corrupt_slot1(b):
    path = b.user / "images" / "image1"
    data = bytearray(path.read_bytes())
    data[500] ^= 0x01
    path.write_bytes(bytes(data))


def booted_then_keys_removed(b):
    assert b.boot(max_boots=1, timeout=60).returncode == 0
    (b.user / "development_key.pub.pem").unlink()


def usb_inserted(b):
    boardsim("usb", b.path, "insert", "--mount-after", "2")
    boardsim("nvram", b.path, "set", "13b", "d5")
    (b.path / "usb" / "NPX7710_OS.img").write_bytes(b"not really an image")


def boot_slot_2_and_lowsec(b):
    boardsim("nvram", b.path, "set", "100", "2")
    boardsim("env", b.path, "set", "mylowsec=authorised", "gdbserver=onwards", "gdbport=2345")


FRESH = {
    "serial": "SIM000000001",
    "slots": [{"slot": 1, "state": "good", "version": "1.0.0.1", "written": None,
               "components": [{"type": "APPLICATION", "version": "1.0.0.1", "crc": "good", "signed": True,
                               "header_version": 3, "offset": 0}]},
              {"slot": 2, "state": "good", "version": "1.0.0.2"}],
    "boot_slot": 1, "last_booted": None, "nvram": {"bootSlot": 255, "bootedImage": 255, "usbBootEnable": 255},
    "key_files": [], "install_log": {"lines": 0, "tail": []}, "low_security": False,
    "faults": {}, "usb": {"inserted": False, "enabled": False, "files": []},
    "network": {"cable": "plugged", "dhcp": False},
}

# name: (what is done to a fresh demo board, what status --json then holds)
STATES = {
    "fresh demo board": (lambda b: None, FRESH),
    "slot 1 corrupted": (corrupt_slot1, {
        "slots": [{"slot": 1, "state": "bad-crc", "version": "1.0.0.1", "components": [{"crc": "bad"}]},
                  {"slot": 2, "state": "good"}]}),
    "slot 2 missing": (lambda b: (b.user / "images" / "image2").unlink(), {
        "slots": [{"slot": 1, "state": "good"}, {"slot": 2, "state": "missing", "version": "0.0.0.0",
                                                  "components": []}]}),
    "booted, then a key file removed": (booted_then_keys_removed, {
        "last_booted": "slot 1", "nvram": {"bootedImage": 1}, "key_files": ["production_key.pub.pem"]}),
    "fault injected": (lambda b: boardsim("fault", b.path, "set", "flash.kernel.write=3", "i2c.2.68=nack"), {
        "faults": {"flash.kernel.write": "3", "i2c.2.68": "nack"}}),
    "usb inserted": (usb_inserted, {
        "usb": {"inserted": True, "mount_after": 2, "enabled": True,
                "files": [{"path": "NPX7710_OS.img", "size": 19,
                           "md5": hashlib.md5(b"not really an image").hexdigest()}]}}),
    "boot slot 2, low security by a longer name": (boot_slot_2_and_lowsec, {
        "boot_slot": 2, "low_security": True,
        "environment": {"crc_ok": True, "entries": {"mylowsec": "authorised", "gdbserver": "onwards"},
                        "read": {"lowsec": True, "gdbserver": True, "gdb": True, "gdbport": 2345,
                                 "shell": False}}}),
    "clock frozen, cable unplugged": (
        lambda b: (boardsim("clock", b.path, "freeze", "2031-02-03T04:05:06"),
                   boardsim("cable", b.path, "unplug")),
        {"clock": {"time": "2031-02-03T04:05:06", "frozen": True}, "network": {"cable": "unplugged"}}),
}


@pytest.mark.parametrize("name", list(STATES))
def test_status_json(tmp_path, name):
    b = Board(tmp_path / "board")
    boardsim("new", b.path, "--demo")
    setup, expected = STATES[name]
    setup(b)
    st = status(b)
    subset(expected, st)
    assert st["board"] == str(b.path)
    assert [p["path"] for p in st["partitions"]] == ["mtd-uboot", "mtd-devicetree", "mtd-kernel", "mtd-rfs",
                                                     "mtd-rescue"]
    rfs = st["partitions"][3]
    assert (rfs["state"], rfs["version"], rfs["components"][0]["signed"]) == ("good", "1.0.0.3", True)
    assert st["partitions"][2]["state"] == "empty" and st["partitions"][2]["version"] == "255.255.255.255"


def test_status_matches_the_rescue_menus_versions(tmp_path):
    # The versions are the ones bootmgr shows with the rescue menu's V.
    b = Board(tmp_path / "board")
    boardsim("new", b.path, "--demo")
    b.env_set(diagnostics="rescue")
    out = b.boot(input="ve", max_boots=1, fast=True, timeout=60).stdout
    st = status(b)
    versions = {p["name"]: p["version"] for p in st["partitions"]}
    assert f"RFS image   : {versions['root file system']}" in out
    assert f"Boot image  : {versions['boot loader']}" in out
    assert f"OS image 1  : {st['slots'][0]['version']}" in out
    assert f"OS image 2  : {st['slots'][1]['version']}" in out


def test_status_text(tmp_path):
    b = Board(tmp_path / "board")
    boardsim("new", b.path, "--demo")
    corrupt_slot1(b)
    boardsim("fault", b.path, "set", "flash.kernel.write=3")
    (b.user / "install.log").write_text("".join(f"File f{i} installed from USB\n" for i in range(7)))
    out = boardsim("status", b.path).stdout
    for line in ["slot 1  1.0.0.1         CRC BAD", "slot 2  1.0.0.2         CRC good",
                 "bootSlot 0xff: boots slot 1", "Key files: none", "Install log: 7 lines",
                 "  File f6 installed from USB", "Low security: off", "Faults: flash.kernel.write=3",
                 "USB stick: removed"]:
        assert line in out, out
    assert "File f1 installed" not in out, "only the last five lines"
    assert json.loads(boardsim("status", b.path, "--json").stdout)["install_log"]["tail"][-1] == \
        "File f6 installed from USB"


def test_status_of_a_folder_without_a_board(tmp_path):
    proc = boardsim("status", tmp_path, check=False)
    assert proc.returncode == 2 and "not a board directory" in proc.stderr
    assert boardsim("status", check=False).returncode == 2


# --- env set: names bootmgr never reads -----------------------------------

@pytest.mark.parametrize("assignment, warning", [
    ("shell=on", None),
    ("gdbport=2345", None),
    ("shel=on", "bootmgr never reads shel (did you mean shell?); set anyway."),
    ("bootcmd=run x", "bootmgr never reads bootcmd (it reads gdb, gdbserver, gdbport, shell, memchk, "
                      "diagnostics, lowsec); set anyway."),
    ("mygdb=on", "bootmgr reads mygdb as gdb"),
])
def test_env_set_warns_about_names_bootmgr_never_reads(tmp_path, assignment, warning):
    b = Board.create(tmp_path / "board")
    proc = boardsim("env", b.path, "set", assignment)
    if warning is None:
        assert proc.stderr == ""
    else:
        assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("boardsim env: warning: ")
        assert warning in proc.stderr
    name, value = assignment.split("=", 1)
    assert b.env()[name] == value, "set all the same"


# --- new: nothing left behind ---------------------------------------------

def too_big_images(tmp_path):
    images = tmp_path / "images"
    images.mkdir()
    for name in ["image1.img", "image2.img", "rfs-production.img"]:
        (images / name).write_bytes(b"x" * 100)
    with open(images / "rescue.img", "wb") as f:  # larger than the 10 MiB rescue partition
        f.truncate(11 << 20)
    return images


@pytest.mark.parametrize("args", [
    ["--demo", "--images", "{tmp}/none"],
    ["--fault", "bogus=1"],
    ["--fault", "flash.kernel.write=x"],
    ["--demo", "--images", "{big}"],
    ["--serial", "SHORT"],
])
def test_a_failed_new_leaves_nothing_behind(tmp_path, args):
    big = too_big_images(tmp_path)
    target = tmp_path / "parent" / "board"
    args = [a.format(tmp=tmp_path, big=big) for a in args]
    proc = boardsim("new", target, *args, check=False)
    assert proc.returncode == 2, proc.stderr
    assert not (tmp_path / "parent").exists(), "the folders it made are gone"


def test_new_with_faults_that_name_devices(tmp_path):
    # Checked before anything is made, against the partitions the board will have.
    b = tmp_path / "board"
    boardsim("new", b, "--fault", "missing=mtd-onie,i2c-1", "--fault", "flash.kernel.write=3")
    assert json.loads(boardsim("status", b, "--json").stdout)["faults"] == {
        "missing": "mtd-onie,i2c-1", "flash.kernel.write": "3"}
    proc = boardsim("new", tmp_path / "other", "--fault", "flash.nosuch.write=3", check=False)
    assert proc.returncode == 2 and not (tmp_path / "other").exists()


def test_a_failed_new_keeps_a_folder_that_existed(tmp_path):
    target = tmp_path / "board"
    target.mkdir()
    proc = boardsim("new", target, "--demo", "--images", too_big_images(tmp_path), check=False)
    assert proc.returncode == 2 and "does not fit" in proc.stderr
    assert target.is_dir()
    mine = Board.create(tmp_path / "mine")
    (mine.path / "notes.txt").write_text("keep")
    proc = boardsim("new", mine.path, "--force", "--fault", "bogus=1", check=False)
    assert proc.returncode == 2
    assert (mine.path / "notes.txt").read_text() == "keep" and (mine.path / "board.conf").exists()


def test_version():
    proc = boardsim("--version")
    assert proc.stdout.startswith("boardsim ") and "(commit " in proc.stdout
