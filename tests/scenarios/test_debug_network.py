"""The management port the remote debug server brings up before the
application starts: a DHCP lease from the board's network peer, no answer,
an address typed in, and a cable that is not plugged in."""

from __future__ import annotations

import ipaddress

import pytest

from boardsim_helpers import LAUNCHED, POOL_FIRST, POOL_LAST, expect_lines
from rescue import demo_board

DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "

# name, DHCP served, cable plugged, console input, lines shown, DHCP events seen
ROADS = [
    ("lease", True, True, "y\n", [DHCP_QUESTION], ["bound"]),
    ("no_dhcp_server", False, True, "y\n", [DHCP_QUESTION], ["leasefail"]),
    ("address_typed", True, True, "n\n192.168.1.3\n255.255.255.0\n\n",
     [DHCP_QUESTION, "IP addr    :", "\tNetmask    : 255.255.255.0\n", "Configuring management port"], []),
    ("cable_unplugged", True, False, "y\n", [DHCP_QUESTION, "Mgmt link not available. Quitting."],
     ["leasefail"]),
]


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_debug_server_management_port(tmp_path, road):
    _, served, plugged, answers, lines, dhcp_events = road
    board = demo_board(tmp_path, rescue=False)
    board.env_set(gdbserver="on")
    board.dhcp(served)
    board.cable(plugged)
    proc = board.boot(input=answers, max_boots=1, fast=True, timeout=90)
    out = proc.stdout.replace("\r", "")
    # The debug server starts whatever became of the port.
    assert proc.returncode == LAUNCHED, out
    expect_lines(out, lines)
    assert board.events("exec")[0]["program"] == "/bin/gdbserver"
    leases = board.events("dhcp")
    assert [e["event"] for e in leases] == dhcp_events
    for lease in leases:
        if lease["event"] == "bound":
            address = ipaddress.ip_address(lease["ip"])
            assert ipaddress.ip_address(POOL_FIRST) <= address <= ipaddress.ip_address(POOL_LAST)
            assert lease["interface"] == "eth0"
    if plugged and dhcp_events == ["bound"]:
        assert "Mgmt link not available" not in out
