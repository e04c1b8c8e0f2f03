"""Power cuts at every kind of durable write an upgrade makes: a slot file
written from a USB stick, the rescue partition's recovery copy, a key file
rewritten at start-up, and each flash component. The power fails at a byte
of the write or at one of the NVRAM writes after it; the board then starts
again (the stick pulled out) and must still launch an application, from
the slot that was not being written when the cut came before the install
completed, with nothing outside the written range changed.

POWER_CUT_POINTS (default 3) sets how many byte positions each write is cut
at; scripts/power-cut-campaign runs the whole campaign (25 and more) and
prints the table of cut points and outcomes."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from boardsim_helpers import Board, boardsim
from images import app_archive, create, demo_dir, openssl_sign, signature_record
from images import keys_dir

POINTS = int(os.environ.get("POWER_CUT_POINTS", "3"))
TABLE = os.environ.get("POWER_CUT_TABLE")
PARTITIONS = ["uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue", "onie"]


def spread(length: int, points: int = POINTS) -> list[int]:
    """`points` byte counts spread over a write of `length` bytes, the first
    and the last byte included."""
    if points <= 1:
        return [length // 2]
    return sorted({round(i * (length - 1) / (points - 1)) for i in range(points)})


def signed(comp: dict, tmp: Path) -> dict:
    sig = openssl_sign(comp["payload"], keys_dir() / "production_key.pem", tmp)
    return {**comp, "records": [signature_record(sig)]}


def new_app(tmp: Path) -> Path:
    return create(tmp / "new.img", [signed({"type": "app", "version": "9.0.0.0",
                                            "payload": app_archive("N")}, tmp)], tmp)


def demo_slots(board: Board) -> None:
    """The demo images in both slots, slot 1 to boot, and one start behind
    the board (so its key files are made before anything is compared)."""
    images = board.user / "images"
    images.mkdir(parents=True, exist_ok=True)
    for slot in (1, 2):
        (images / f"image{slot}").write_bytes((demo_dir() / f"image{slot}.img").read_bytes())
    board.nvram_set(0x100, 1)
    board.boot(max_boots=1, timeout=90, fast=True)
    board.clear_events()


def snapshot(board: Board) -> dict[str, bytes]:
    files = {f"user/{p.relative_to(board.user)}": p.read_bytes()
             for p in sorted(board.user.rglob("*")) if p.is_file()}
    files.update({f"flash/{name}": board.flash(name) for name in PARTITIONS})
    files["nvram"] = board.nvram_get(0, 0x200)
    return files


def changed(before: dict[str, bytes], after: dict[str, bytes]) -> set[str]:
    return {k for k in before.keys() | after.keys() if before.get(k) != after.get(k)}


def record(group: str, cut: str, outcome: str) -> None:
    if TABLE:
        with open(TABLE, "a") as table:
            table.write(f"{group}\t{cut}\t{outcome}\n")


def boot_after_cut(board: Board, cut: str, answers: str = "") -> str:
    """One boot with the cut, then (stick out) one plain boot; returns what the
    second boot printed."""
    board.boot(input=answers, max_boots=1, timeout=90, fast=True, faults=[cut])
    assert board.events("power-cut"), f"the cut {cut} never came"
    board.usb_remove()
    board.clear_events()
    proc = board.boot(max_boots=1, timeout=90, fast=True)
    return (proc.stdout + proc.stderr).replace("\r", "")


def launched(board: Board, out: str) -> str:
    execs = board.events("exec")
    assert execs and execs[0]["program"] == "/bin/backtrace", f"no application launched:\n{out}"
    for tag in ("N", "1", "2"):
        if f"Demo application of image {tag}," in out:
            return tag
    raise AssertionError(f"which application started?\n{out}")


# --- a slot file from a USB replacement ----------------------------------

def slot_cuts(component_len: int) -> list[tuple[str, str]]:
    """(cut, phase): phase 'before' leaves the install undone."""
    cuts = [(f"power_cut_after={n}@/user/images/image2.new", "before") for n in spread(component_len)]
    cuts.append(("power_cut_at=user-rename:1@/user/images/image2", "before"))
    cuts.append(("power_cut_at=nvram-write:1@nvram:100", "file"))
    cuts += [(f"power_cut_at=nvram-write:1@nvram:{0x110 + i:x}", "done") for i in (0, 3, 6)]
    return cuts


def slot_cases():
    # The component's length is known only once it is built; 24 bytes of
    # header and a signature record come on top of a ~300-byte archive.
    return slot_cuts(600)


@pytest.mark.parametrize("cut,phase", slot_cases(), ids=[c for c, _ in slot_cases()])
def test_slot_install_from_usb(make_board, tmp_path, cut, phase):
    board = make_board()
    demo_slots(board)
    image = new_app(tmp_path)
    if "power_cut_after" in cut:
        n = int(cut.split("=")[1].split("@")[0])
        if n >= image.stat().st_size:
            pytest.skip("beyond this component's length")
    board.usb_insert()
    board.nvram_set(0x13B, 0xD5)
    board.usb_put("NPX7710_replace2_OS.img", image)
    old = snapshot(board)
    out = boot_after_cut(board, cut)
    new = snapshot(board)
    tag = launched(board, out)
    assert "user/images/image2.new" not in new, "a half-written copy stayed"
    if phase == "before":
        assert tag == "1" and new["user/images/image2"] == old["user/images/image2"]
        assert new["nvram"][0x100] == 1
    elif phase == "file":
        assert tag == "1" and new["user/images/image2"] == image.read_bytes()
        assert new["nvram"][0x100] == 1
    else:
        assert tag == "N" and new["nvram"][0x100] == 2
    allowed = {"user/images/image2", "nvram", "user/images/rejected", "user/install.log"}
    assert changed(old, new) <= allowed, changed(old, new) - allowed
    assert new["user/images/image1"] == old["user/images/image1"]
    record("slot file (USB replacement)", cut, f"boots image {tag}, nothing lost")


# --- the rescue partition's recovery copy -------------------------------------

def recovery_cases():
    return ([(f"power_cut_after={n}@/user/images/image2.new", "before") for n in spread(600)] +
            [("power_cut_at=user-rename:1@/user/images/image2", "before"),
             ("power_cut_at=nvram-write:1@nvram:100", "file")])


@pytest.mark.parametrize("cut,phase", recovery_cases(), ids=[c for c, _ in recovery_cases()])
def test_recovery_copy(make_board, tmp_path, cut, phase):
    board = make_board()
    demo_slots(board)
    recovery = new_app(tmp_path)
    if "power_cut_after" in cut and int(cut.split("=")[1].split("@")[0]) >= recovery.stat().st_size:
        pytest.skip("beyond this component's length")
    part = board.flash_path("rescue")
    data = bytearray(part.read_bytes())
    data[: recovery.stat().st_size] = recovery.read_bytes()
    part.write_bytes(bytes(data))
    old = snapshot(board)
    boardsim("run", str(board.path), "--fault", cut, "--", os.environ["RESCUE_BOOT_DRIVER"],
             check=False, input="2\n", timeout=90)
    assert board.events("power-cut")
    board.clear_events()
    proc = board.boot(max_boots=1, timeout=90, fast=True)
    out = (proc.stdout + proc.stderr).replace("\r", "")
    new = snapshot(board)
    tag = launched(board, out)
    assert tag == "1" and new["nvram"][0x100] == 1
    assert "user/images/image2.new" not in new
    expected2 = old["user/images/image2"] if phase == "before" else recovery.read_bytes()
    assert new["user/images/image2"] == expected2
    assert changed(old, new) <= {"user/images/image2", "nvram"}
    record("recovery copy", cut, f"boots image {tag}, nothing lost")


# --- a key file rewritten at start-up -------------------------------------------

KEY = "/user/production_key.pub.pem"


def key_cases():
    return ([f"power_cut_after={n}@{KEY}.new" for n in spread(464)] +
            [f"power_cut_at=user-rename:1@{KEY}"])


@pytest.mark.parametrize("cut", key_cases())
def test_key_file_rewrite(make_board, cut):
    board = make_board()
    demo_slots(board)
    good = (board.user / "production_key.pub.pem").read_bytes()
    (board.user / "production_key.pub.pem").write_bytes(b"")  # what a failed write once left
    old = snapshot(board)
    board.clear_events()
    out = boot_after_cut(board, cut)
    new = snapshot(board)
    tag = launched(board, out)
    assert new["user/production_key.pub.pem"] == good, "the key file was not made whole again"
    assert changed(old, new) <= {"user/production_key.pub.pem", "user/production_key.pub.pem.new",
                                 "nvram"}
    record("key file", cut, f"boots image {tag}, key file whole at the next start")


# --- flash components ------------------------------------------------------------

FLASH = {"kernel": ("kernel", 70_000), "rfs": ("rfs", 70_000), "dft": ("devicetree", 20_000),
         "uboot": ("uboot", 70_000), "diags": ("rescue", 70_000)}


def flash_cases():
    cases = []
    for kind, (part, size) in FLASH.items():
        cases += [(kind, f"power_cut_after={n}@mtd-{part}") for n in spread(size)]
        cases.append((kind, f"power_cut_at=flash-erase:1@mtd-{part}"))
    return cases


@pytest.mark.parametrize("kind,cut", flash_cases(), ids=[f"{k}-{c}" for k, c in flash_cases()])
def test_flash_component(make_board, tmp_path, kind, cut):
    board = make_board()
    demo_slots(board)
    part, size = FLASH[kind]
    comp = {"type": kind, "version": "3.0.0.0", "payload": bytes((i * 7) & 0xFF for i in range(size))}
    if kind in ("kernel", "rfs", "dft"):
        comp = signed(comp, tmp_path)
    image = create(tmp_path / "boot.img", [comp], tmp_path)
    board.usb_insert()
    board.nvram_set(0x13B, 0xD5)
    board.usb_put("NPX7710_Boot.img", image)
    old = snapshot(board)
    out = boot_after_cut(board, cut)
    new = snapshot(board)
    tag = launched(board, out)
    assert tag == "1"
    # Only the partition being written changed, and in it only the erase
    # blocks the component covers.
    assert changed(old, new) <= {f"flash/{part}", "nvram", "user/images/uboot-hdr"}
    covered = -(-image.stat().st_size // 65536) * 65536
    assert new[f"flash/{part}"][covered:] == old[f"flash/{part}"][covered:]
    record(f"flash: {part}", cut, f"boots image {tag}, only blocks 0..{covered // 65536 - 1} of "
                                  f"mtd-{part} touched")
