"""boardsim for an ordinary user: a board made and booted by a user without
any privilege, as on a workstation with unprivileged user namespaces and
/dev/fuse; and, while the device is out of that user's reach, one clear
sentence instead of a failure half-way.

Run by CTest with BOARDSIM, BOOTMGR and DEMO_DIR set. Run as root (CI), the
test makes the user `boardsim-test` and gives it /dev/fuse through an ACL
entry for the duration of the boot; run as an ordinary user it boots as that
user and checks the sentence only if /dev/fuse is out of reach already.
"""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

USER = "boardsim-test"
FUSE = "/dev/fuse"
NO_FUSE = "boardsim: /dev/fuse is missing or not usable by this user"


def ordinary_user() -> pwd.struct_passwd:
    if os.geteuid() != 0:
        return pwd.getpwuid(os.geteuid())
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", USER],
                       check=True)
        return pwd.getpwnam(USER)


@pytest.fixture
def tools():
    """boardsim, bootmgr and the demo images where the user can read them
    (a folder of /tmp, whose parents anyone may enter), and a folder it may
    write boards into."""
    user = ordinary_user()
    root = Path(tempfile.mkdtemp(prefix="boardsim-unprivileged-"))
    try:
        shutil.copy2(os.environ["BOARDSIM"], root / "boardsim")
        shutil.copy2(os.environ["BOOTMGR"], root / "bootmgr")
        shutil.copytree(os.environ["DEMO_DIR"], root / "demo")
        for path in [root, *root.rglob("*")]:
            path.chmod(0o755 if path.is_dir() or os.access(path, os.X_OK) else 0o644)
        boards = root / "boards"
        boards.mkdir()
        os.chown(boards, user.pw_uid, user.pw_gid)
        yield user, root
    finally:
        shutil.rmtree(root, ignore_errors=True)


def as_user(user: pwd.struct_passwd, *command: str, timeout: float = 120) -> subprocess.CompletedProcess:
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/tmp", "USER": user.pw_name, "LANG": "C.UTF-8"}
    return subprocess.run(list(command), user=user.pw_uid, group=user.pw_gid, extra_groups=[], env=env,
                          cwd="/tmp", capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)


@contextlib.contextmanager
def fuse_granted(user: pwd.struct_passwd):
    """/dev/fuse usable by the user for the duration (an ACL entry, taken
    back afterwards with the device's ACL exactly as it was)."""
    if os.geteuid() != 0:
        yield
        return
    if shutil.which("setfacl") is None:
        pytest.skip("setfacl is missing: install the Debian package acl (scripts/install-deps)")
    before = subprocess.run(["getfacl", "--absolute-names", FUSE], check=True, capture_output=True,
                            text=True).stdout
    subprocess.run(["setfacl", "-m", f"u:{user.pw_name}:rw", FUSE], check=True)
    try:
        yield
    finally:
        subprocess.run(["setfacl", "--set-file=-", FUSE], input=before, text=True, check=True)


def fuse_usable(user: pwd.struct_passwd) -> bool:
    return as_user(user, "/bin/sh", "-c", f"test -r {FUSE} -a -w {FUSE}").returncode == 0


def test_a_board_boots_for_an_ordinary_user(tools):
    user, root = tools
    board = root / "boards" / "board"
    made = as_user(user, str(root / "boardsim"), "new", str(board), "--demo", "--images", str(root / "demo"))
    assert made.returncode == 0, made.stderr
    assert (board / "user" / "images" / "image1").stat().st_uid == user.pw_uid

    with fuse_granted(user):
        booted = as_user(user, str(root / "boardsim"), "boot", str(board), "--fast", "--max-boots", "1",
                         "--timeout", "60", "--bootmgr", str(root / "bootmgr"))
    assert booted.returncode == 0, booted.stdout + booted.stderr
    assert "Demo application of image 1" in booted.stdout
    # What the board wrote belongs to the user, not to root.
    assert all(p.stat().st_uid == user.pw_uid for p in board.rglob("*") if not p.is_symlink())


def test_without_fuse_one_sentence(tools):
    user, root = tools
    if fuse_usable(user):
        pytest.skip("/dev/fuse is usable by this user without help: nothing to refuse")
    board = root / "boards" / "board"
    assert as_user(user, str(root / "boardsim"), "new", str(board), "--demo",
                   "--images", str(root / "demo")).returncode == 0
    booted = as_user(user, str(root / "boardsim"), "boot", str(board), "--fast", "--max-boots", "1",
                     "--bootmgr", str(root / "bootmgr"))
    assert booted.returncode == 2
    lines = (booted.stdout + booted.stderr).strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(NO_FUSE), lines
