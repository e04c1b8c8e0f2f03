"""Booting boardsim board folders on the emulated e500 system (tools/e500/e500).

A board is made and changed with boardsim's verbs (Board from
tests/scenarios/boardsim_helpers.py); only booting differs:

    board = E500Board.create(tmp_path / "board")
    board.env_set(gdbserver="on")
    proc = board.boot(timeout=120)           # console text, exit status as boardsim's
    child = board.spawn_boot(timeout=120)    # pexpect on the console

Environment (set by "make e500-test"):
  E500          path of tools/e500/e500
  E500_BOOTMGR  the cross-built static bootmgr (build/ppc/bin/bootmgr)
  BOARDSIM, IMAGETOOL, DEMO_DIR as for the boardsim scenarios
"""

from __future__ import annotations

import os
import subprocess
from typing import Optional

from boardsim_helpers import Board


def e500_path() -> str:
    path = os.environ.get("E500")
    if not path:
        raise RuntimeError("E500 is not set: run the tests with make e500-test")
    return path


class E500Board(Board):
    """A board folder booted on the emulated e500."""

    def boot_args(self, max_boots: Optional[int] = None, timeout: Optional[float] = None, **_) -> list[str]:
        args = ["boot", str(self.path), "--bootmgr", os.environ["E500_BOOTMGR"]]
        if max_boots is not None:
            args += ["--max-boots", str(max_boots)]
        if timeout is not None:
            args += ["--timeout", str(timeout)]
        return args

    def spawn_boot(self, *, expect_timeout: float = 60, **kwargs):
        import pexpect

        return pexpect.spawn(e500_path(), self.boot_args(**kwargs), timeout=expect_timeout,
                             encoding="utf-8", codec_errors="replace", dimensions=(50, 200))

    def boot(self, input: str = "", **kwargs) -> subprocess.CompletedProcess:
        limit = (kwargs.get("timeout") or 120) + 30
        return subprocess.run([e500_path(), *self.boot_args(**kwargs)], capture_output=True, text=True,
                              timeout=limit, input=input, errors="replace")
