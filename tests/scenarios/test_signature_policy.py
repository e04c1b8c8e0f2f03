"""Which components may be installed: every combination of the installed
root file system (production-signed, development-signed, unsigned), low
security mode (off, by marker, by the boot-loader override) and the
component's signature, with the operator's answer where the policy asks."""

from __future__ import annotations

import itertools
import os
import subprocess

import pytest

from boardsim_helpers import Board, boardsim
from images import create, openssl_sign, signature_record
from images import keys_dir

PAYLOAD = b"kernel image payload " * 50


@pytest.fixture(scope="module")
def unknown_key(tmp_path_factory):
    path = tmp_path_factory.mktemp("keys") / "unknown.pem"
    subprocess.run(["openssl", "genrsa", "-out", str(path), "2048"], check=True, capture_output=True)
    return path


def signed_component(kind: str, tmp, unknown_key, type_="kernel", payload=PAYLOAD) -> dict:
    keys = keys_dir()
    key_of = {"prod": keys / "production_key.pem", "dev": keys / "development_key.pem",
              "unknown": unknown_key}
    comp = {"type": type_, "payload": payload}
    if kind == "none_v1":
        comp["header"] = 1
    elif kind == "none_v3":
        pass
    elif kind == "prod_then_unknown":
        comp["records"] = [signature_record(openssl_sign(payload, key_of["prod"], tmp)),
                           signature_record(openssl_sign(payload, key_of["unknown"], tmp))]
    elif kind == "unknown_then_prod":
        comp["records"] = [signature_record(openssl_sign(payload, key_of["unknown"], tmp)),
                           signature_record(openssl_sign(payload, key_of["prod"], tmp))]
    else:
        comp["records"] = [signature_record(openssl_sign(payload, key_of[kind], tmp))]
    return comp


def effective_key(kind: str) -> str | None:
    """The key whose signature counts (the last record), None when unsigned."""
    return {"prod": "prod", "dev": "dev", "unknown": "unknown", "prod_then_unknown": "unknown",
            "unknown_then_prod": "prod"}.get(kind)


def expected(rfs: str, lowsec: str, kind: str, answer: str) -> tuple[bool, list[str], bool]:
    """The decision table: (installed?, lines in order, development key tried on
    the component?)."""
    developer = rfs in ("development", "unsigned")
    low = lowsec != "off"
    yes = answer == "y"
    key = effective_key(kind)
    if key is None:
        if developer and low:
            return yes, ["WARNING: Image is unsigned but you are running developer images and are in "
                         "low security mode", "Install image anyway? y/N? "], False
        return False, [" Image rejected as it has no signature"], False
    if key == "prod":
        return True, [" Image signature verified. "], False
    if not (developer or low):
        return False, [" Image rejected. "], False
    note = ("NOTE - developer images operational. Checking developer keys...." if developer
            else "NOTE - low security mode is operational. Checking developer keys....")
    if key == "dev":
        return True, [note, " Image signature verified. "], True
    if developer and low:
        return yes, [note, "WARNING: All checks failed but you are running developer images and "
                           "are in low security mode", "Install image anyway? y/N? ",
                     " Image signature verified. " if yes else " Image rejected. "], True
    return False, [note, " Image rejected. "], True


RFS = ["production", "development", "unsigned"]
LOWSEC = ["off", "marker", "override"]
KINDS = ["prod", "dev", "unknown", "prod_then_unknown", "unknown_then_prod", "none_v1", "none_v3"]


def asks(rfs, lowsec, kind):
    return rfs in ("development", "unsigned") and lowsec != "off" and effective_key(kind) in (
        None, "unknown")


ROWS = [(r, l, k, a) for r, l, k in itertools.product(RFS, LOWSEC, KINDS)
        for a in (("y", "n") if asks(r, l, k) else ("",))]


@pytest.fixture(scope="module")
def boards(tmp_path_factory, unknown_key):
    """One board per kind of installed root file system."""
    made = {}
    for rfs in RFS:
        tmp = tmp_path_factory.mktemp(rfs)
        board = Board.create(tmp / "board")
        kind = {"production": "prod", "development": "dev", "unsigned": "none_v1"}[rfs]
        image = create(tmp / "rfs.img", [signed_component(kind, tmp, unknown_key, type_="rfs",
                                                          payload=b"root fs " * 300)], tmp)
        part = board.flash_path("rfs")
        data = bytearray(part.read_bytes())
        blob = image.read_bytes()
        data[: len(blob)] = blob
        part.write_bytes(bytes(data))
        made[rfs] = board
    return made


@pytest.mark.parametrize("rfs,lowsec,kind,answer", ROWS,
                         ids=["-".join(filter(None, r)) for r in ROWS])
def test_signature_policy(boards, tmp_path, unknown_key, rfs, lowsec, kind, answer):
    board = boards[rfs]
    board.env_unset("lowsec")
    if lowsec == "override":
        board.env_set(lowsec="authorised")
    dev_key_file = board.user / "development_key.pub.pem"
    if dev_key_file.exists():
        dev_key_file.unlink()
    image = create(tmp_path / "component.img", [signed_component(kind, tmp_path, unknown_key)],
                   tmp_path)
    args = ["run", str(board.path), "--ro", str(tmp_path), "--", os.environ["POLICY_CHECK_DRIVER"]]
    if lowsec == "marker":
        args.append("--marker")
    args.append(str(image))
    proc = boardsim(*args, check=False, input=answer, timeout=60)
    out = proc.stdout.replace("\r", "")

    installed, lines, dev_tried = expected(rfs, lowsec, kind, answer)
    assert proc.returncode == (0 if installed else 1), out
    at = 0
    for line in lines:
        found = out.find(line, at)
        assert found >= 0, f"{line!r} missing (in order) from:\n{out}"
        at = found + len(line)
    assert ("Checking developer keys" in out) == dev_tried, out
    if lowsec == "override":
        assert "NOTE: Uboot low security mode override enabled" in out
    if effective_key(kind) == "prod":
        # Nothing needed the development key: not even its file was made.
        assert not dev_key_file.exists()


def test_malformed_signature_record_is_refused_with_its_reason(boards, tmp_path):
    # The record claims a 256-byte signature but holds 4 bytes.
    image = create(tmp_path / "bad.img", [{"type": "kernel", "payload": PAYLOAD,
                                           "records": [(3, "0100" + "aabbccdd")]}], tmp_path)
    board = boards["production"]
    proc = boardsim("run", str(board.path), "--ro", str(tmp_path), "--",
                    os.environ["POLICY_CHECK_DRIVER"], str(image), check=False, timeout=60)
    assert proc.returncode == 1
    assert "Image header refused: its signature record is malformed." in proc.stdout
    assert " Image rejected. " in proc.stdout
