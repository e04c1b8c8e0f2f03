"""Images signed by imagetool, judged by the boot manager's signature policy
on the emulated board: a production switch (the demo's rfs-production.img in
its root file system partition) and a developer switch (rfs-unsigned.img).

Needs IMAGETOOL, BOARDSIM, POLICY_CHECK_DRIVER and DEMO_DIR (set by ctest).
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import Board, boardsim  # noqa: E402
from imagetool_test import run  # noqa: E402

KEYS = Path(os.environ.get("TEST_KEYS", Path(__file__).resolve().parents[2] / "keys" / "test"))
PROD, PROD_PUB = KEYS / "production_key.pem", KEYS / "production_key.pub.pem"
DEV = KEYS / "development_key.pem"
DEMO = Path(os.environ.get("DEMO_DIR", Path(__file__).resolve().parents[2] / "build" / "host" / "demo"))


def make_board(path, rfs_image):
    board = Board.create(path)
    part = board.flash_path("rfs")
    data = bytearray(part.read_bytes())
    blob = (DEMO / rfs_image).read_bytes()
    data[:len(blob)] = blob
    part.write_bytes(bytes(data))
    return board


@pytest.fixture(scope="module")
def boards(tmp_path_factory):
    base = tmp_path_factory.mktemp("boards")
    return {"production": make_board(base / "production", "rfs-production.img"),
            "developer": make_board(base / "developer", "rfs-unsigned.img")}


def sign_with_imagetool(work, key):
    r = run("sign", "img", "--key", key, cwd=work)
    assert r.returncode == 0, r.stderr.decode()


def sign_two_step(work, key):
    assert run("digest", "img", "--binary", "-o", "d.bin", cwd=work).returncode == 0
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha256",
                    "-in", "d.bin", "-out", "s.bin"], cwd=work, check=True)
    pub = work / "pub.pem"
    subprocess.run(["openssl", "rsa", "-in", key, "-pubout", "-out", pub], check=True, capture_output=True)
    r = run("attach", "img", "--signature", "s.bin", "--key", pub, cwd=work)
    assert r.returncode == 0, r.stderr.decode()


def sign_openssl_dgst(work, key):
    assert run("extract", "img", "--type", "kernel", "-o", "payload", cwd=work).returncode == 0
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", "s.bin", "payload"],
                   cwd=work, check=True)
    pub = work / "pub.pem"
    subprocess.run(["openssl", "rsa", "-in", key, "-pubout", "-out", pub], check=True, capture_output=True)
    r = run("attach", "img", "--signature", "s.bin", "--key", pub, cwd=work)
    assert r.returncode == 0, r.stderr.decode()


CASES = [
    # (flow, key, board, low security marker, installed, verdict text)
    (sign_with_imagetool, PROD, "production", False, True, " Image signature verified. "),
    (sign_two_step, PROD, "production", False, True, " Image signature verified. "),
    (sign_openssl_dgst, PROD, "production", False, True, " Image signature verified. "),
    (sign_with_imagetool, DEV, "production", False, False, " Image rejected. "),
    (sign_two_step, DEV, "developer", True, True, " Image signature verified. "),
]


@pytest.mark.parametrize("flow,key,board,marker,installed,verdict", CASES,
                         ids=["%s-%s-%s" % (c[0].__name__, c[1].stem, c[2]) for c in CASES])
def test_policy_accepts_what_imagetool_signed(boards, tmp_path, flow, key, board, marker, installed,
                                              verdict):
    (tmp_path / "p").write_bytes(os.urandom(4000))
    assert run("create", "-o", "img", "--type", "kernel", "--version", "1.0.0.1", "--payload", "p",
               cwd=tmp_path).returncode == 0
    flow(tmp_path, key)
    args = ["run", boards[board].path, "--ro", tmp_path, "--", os.environ["POLICY_CHECK_DRIVER"]]
    if marker:
        args.append("--marker")
    proc = boardsim(*args, str(tmp_path / "img"), check=False, timeout=60)
    out = proc.stdout.replace("\r", "")
    assert proc.returncode == (0 if installed else 1), out + proc.stderr
    assert verdict in out, out
