"""Verified boot (a build option): the slot boot applies the install-time
signature policy to the application component before unpacking it, on a
production switch (root file system signed with the production key)."""

from __future__ import annotations

import os

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH, expect_lines
from images import app_archive, create, demo_dir, openssl_sign, signature_record
from images import keys_dir


def slot_component(slot: int, signer: str | None, tmp) -> dict:
    payload = app_archive(slot)
    comp = {"type": "app", "version": f"1.0.0.{slot}", "payload": payload}
    if signer:
        key = keys_dir() / f"{signer}_key.pem"
        comp["records"] = [signature_record(openssl_sign(payload, key, tmp))]
    return comp


# name, signer of slot 1, signer of slot 2 (None: unsigned), console lines in
# order, launched?, bootedImage afterwards.
ROADS = [
    ("production_signed_boots", "production", "production",
     ["Booting image '1'", " Image signature verified. ", "Demo application of image 1"], True, 1),
    ("unsigned_falls_back", None, "production",
     [" Image rejected as it has no signature", "Image1 signature not accepted, trying Image2 now.",
      "Booting image '2'", " Image signature verified. ", "Demo application of image 2"], True, 2),
    ("development_signed_falls_back", "development", "production",
     [" Image rejected. ", "Image1 signature not accepted, trying Image2 now.",
      "Demo application of image 2"], True, 2),
    ("both_refused_reach_rescue", None, "development",
     ["Image1 signature not accepted, trying Image2 now.", "Booting image '2'", " Image rejected. ",
      "Image2 signature not accepted.", "No valid application image found. Trying rescue image"],
     False, 0xFF),
]


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_verified_boot(board, tmp_path, road):
    name, signer1, signer2, lines, launched, booted = road
    rfs = board.flash_path("rfs")
    production_rfs = (demo_dir() / "rfs-production.img").read_bytes()
    data = bytearray(rfs.read_bytes())
    data[: len(production_rfs)] = production_rfs
    rfs.write_bytes(bytes(data))
    images = board.user / "images"
    images.mkdir(parents=True)
    for slot, signer in ((1, signer1), (2, signer2)):
        create(images / f"image{slot}", [slot_component(slot, signer, tmp_path)], tmp_path)
    board.nvram_set(0x100, 1)

    # With nothing bootable the rescue menu asks: the operator leaves it.
    proc = board.boot(input="e", max_boots=1, timeout=60, bootmgr=os.environ["VERIFIED_BOOTMGR"])
    out = proc.stdout.replace("\r", "")
    expect_lines(out, lines)
    assert proc.returncode == (LAUNCHED if launched else NO_LAUNCH), out
    assert board.nvram_get(0x13A) == bytes([booted])


def test_unsigned_slot_boots_without_the_option(board, tmp_path):
    images = board.user / "images"
    images.mkdir(parents=True)
    create(images / "image1", [slot_component(1, None, tmp_path)], tmp_path)
    proc = board.boot(max_boots=1, timeout=60)
    assert "Demo application of image 1" in proc.stdout
    assert "signature" not in proc.stdout
