"""The emulated board's management port: eth0, its cable, and the TFTP and
DHCP server (dnsmasq) at the other end, as the board's own tools meet them
(busybox ifconfig, tftp, ping, the dhclient stand-in over busybox udhcpc).
Run by CTest with BOARDSIM and LINK_PROBE (a program that asks for the link
with SIOCETHTOOL/ETHTOOL_GLINK from inside the board) set.
"""

import hashlib
import ipaddress
import os
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import (BOARD_MAC, NETMASK, PEER_ADDRESS, POOL_FIRST, POOL_LAST, SETUP_ERROR,  # noqa: E402
                              Board, boardsim, shell_script)

PROBE = os.environ.get("LINK_PROBE", "")
BOARD_ADDRESS = "192.168.1.2"
UP = f"ifconfig eth0 {BOARD_ADDRESS} netmask {NETMASK} up"


def in_pool(address):
    return ipaddress.ip_address(POOL_FIRST) <= ipaddress.ip_address(address) <= ipaddress.ip_address(POOL_LAST)


# --- the verbs --------------------------------------------------------------

def test_cable_and_dhcp_settings_are_kept_in_board_conf(board):
    steps = [
        ([], "plugged", "off"),
        (["cable", "unplug"], "unplugged", "off"),
        (["net", "dhcp", "on"], "unplugged", "on"),
        (["cable", "unplug"], "unplugged", "on"),
        (["cable", "plug"], "plugged", "on"),
        (["net", "dhcp", "off"], "plugged", "off"),
    ]
    for args, cable, dhcp in steps:
        if args:
            boardsim(args[0], board.path, *args[1:])
        assert boardsim("cable", board.path, "show").stdout == cable + "\n", args
        shown = boardsim("net", board.path, "show").stdout.splitlines()
        assert shown[:2] == [f"cable: {cable}", f"dhcp: {dhcp}"], args
        assert f"cable={cable}\n" in (board.path / "board.conf").read_text()
    assert BOARD_MAC in shown[2] and f"{PEER_ADDRESS}/24" in shown[3] and f"{POOL_FIRST}-{POOL_LAST}" in shown[4]


@pytest.mark.parametrize("args", [
    ["cable"], ["cable", "pull"], ["cable", "plug", "now"], ["net"], ["net", "dhcp"], ["net", "dhcp", "yes"],
    ["net", "show", "all"], ["net", "tftp", "off"],
])
def test_network_usage_errors(board, args):
    proc = boardsim(args[0], board.path, *args[1:], check=False)
    assert proc.returncode == SETUP_ERROR
    assert proc.stderr.startswith(f"boardsim {args[0]}: ")
    assert board.cable_plugged()


@pytest.mark.parametrize("line", ["cable=loose", "dhcp=maybe"])
def test_a_bad_network_setting_in_board_conf_is_refused(board, line):
    with open(board.path / "board.conf", "a") as conf:
        conf.write(line + "\n")
    proc = boardsim("cable", board.path, "show", check=False)
    assert proc.returncode == SETUP_ERROR and line.split("=")[0] in proc.stderr


# --- TFTP ---------------------------------------------------------------------

IMAGE = bytes((i * 131 + (i >> 9)) & 0xFF for i in range(300_000))


@pytest.mark.parametrize("name, served", [
    ("image.img", True),
    ("images/nested.img", True),          # folders below DIR/tftp are served
    ("missing.img", False),
    ("../board.conf", False),             # nothing outside DIR/tftp
])
def test_tftp_gets_a_file_of_the_board_folder(board, name, served):
    board.tftp_put("image.img", IMAGE)
    board.tftp_put("images/nested.img", IMAGE[:1000])
    proc = board.run("/bin/sh", "-c", f"{UP}; tftp -g -r {name} -l /tmp/image {PEER_ADDRESS}; echo rc=$?; "
                     "md5sum /tmp/image 2>/dev/null")
    out = proc.stdout.split()
    if served:
        expected = (board.tftp / name).read_bytes()
        assert out == ["rc=0", hashlib.md5(expected).hexdigest(), "/tmp/image"], proc.stdout + proc.stderr
    else:
        assert out[0] != "rc=0" and len(out) == 1, proc.stdout
        assert "tftp: server error" in proc.stderr


def test_the_static_set_up_the_rescue_console_hands_to_the_shell(board):
    if not PROBE:
        pytest.skip("LINK_PROBE is not set")
    steps = (f"ifconfig eth0 {BOARD_ADDRESS}; ifconfig eth0 down; ifconfig eth0 netmask {NETMASK}; "
             f"ifconfig eth0 up; route add default gw {PEER_ADDRESS}; route -n; {PROBE} --wait up 3000; "
             f"ping -c 1 -W 2 {PEER_ADDRESS} >/dev/null && echo ping=ok")
    proc = board.run("/bin/sh", "-c", steps, ro=[str(Path(PROBE).parent)])
    routes = [l.split()[:4] for l in proc.stdout.splitlines() if re.match(r"\d+\.\d+\.\d+\.\d+ ", l)]
    assert routes == [["0.0.0.0", PEER_ADDRESS, "0.0.0.0", "UG"], ["192.168.1.0", "0.0.0.0", NETMASK, "U"]]
    assert "eth0: link=1 up=1 running=1" in proc.stdout and "ping=ok" in proc.stdout, proc.stderr


def test_eth0_starts_down_without_an_address(board):
    proc = board.run("/bin/sh", "-c", f"ifconfig eth0; tftp -g -r x -l /tmp/x {PEER_ADDRESS}; echo rc=$?")
    assert f"HWaddr {BOARD_MAC.upper()}" in proc.stdout
    assert " UP " not in proc.stdout and "inet addr" not in proc.stdout
    assert "rc=1" in proc.stdout and "Network is unreachable" in proc.stderr


def test_the_board_can_change_its_mac_address(board):
    proc = board.run("/bin/sh", "-c", f"{UP}; ifconfig eth0 hw ether 00:11:22:33:44:55; echo rc=$?; "
                     "ifconfig eth0 | head -n 1")
    assert proc.stdout.split()[0] == "rc=0" and proc.stdout.split()[-1] == "00:11:22:33:44:55", proc.stderr


# --- DHCP ---------------------------------------------------------------------

@pytest.mark.parametrize("dhcp", [True, False])
def test_dhclient_gets_a_lease_only_when_dhcp_is_on(board, dhcp):
    board.dhcp(dhcp)
    proc = board.run("/bin/sh", "-c", "dhclient -1 eth0; echo rc=$?; ifconfig eth0; route -n")
    status = re.search(r"rc=(\d+)", proc.stdout).group(1)
    leases = board.events("dhcp")
    assert board.events("shell")[0]["args"] == ["-1", "eth0"]
    if dhcp:
        assert status == "0", proc.stdout + proc.stderr
        lease, = leases
        assert lease["event"] == "bound" and lease["server"] == PEER_ADDRESS and lease["subnet"] == NETMASK
        assert in_pool(lease["ip"])
        assert f"inet addr:{lease['ip']}" in proc.stdout and f"Mask:{NETMASK}" in proc.stdout
        routes = [l.split() for l in proc.stdout.splitlines() if re.match(r"\d+\.\d+\.\d+\.\d+ ", l)]
        assert routes == [["192.168.1.0", "0.0.0.0", NETMASK, "U", "0", "0", "0", "eth0"]], "no way out"
        assert f"DHCPACK(uplink) {lease['ip']} {BOARD_MAC}" in board.network_log()
    else:
        assert status == "2" and [l["event"] for l in leases] == ["leasefail"]
        assert "inet addr" not in proc.stdout
        assert "DHCPDISCOVER" not in board.network_log()


def test_dhclient_refuses_options_it_does_not_know(board):
    proc = board.run("/bin/sh", "-c", "dhclient -r eth0; echo rc=$?")
    assert proc.stdout == "rc=2\n" and "unsupported option -r" in proc.stderr


# --- the cable while the board runs -------------------------------------------

# One step: what the test does first, then the board's look at its port: the
# link probe (waits until the port is as expected) and one ping of the server.
CABLE_STEPS = {
    "plugged-unplug-plug": (True, [(None, "up", True), ("unplug", "down", False), ("plug", "up", True)]),
    "unplugged-plug-unplug": (False, [(None, "down", False), ("plug", "up", True), ("unplug", "down", False)]),
}


@pytest.mark.parametrize("case", sorted(CABLE_STEPS))
def test_the_link_follows_the_cable(board, tmp_path, case):
    if not PROBE:
        pytest.skip("LINK_PROBE is not set")
    plugged, steps = CABLE_STEPS[case]
    board.cable(plugged)
    look = (f"{PROBE} --wait $want 3000; echo probe=$?; "
            f"ping -c 1 -W 1 {PEER_ADDRESS} >/dev/null 2>&1 && echo ping=ok || echo ping=no")
    body = f"{UP}\nfor want in {' '.join(w for _, w, _ in steps)}; do\n  read step\n  {look}\ndone\n"
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), ro=[str(Path(PROBE).parent)], timeout=60)
    for action, want, ping in steps:
        if action:
            board.cable(action == "plug")
        child.sendline("")
        child.expect(r"eth0: link=(\d) up=(\d) running=(\d) after=[\d.]+\s+probe=(\d)")
        link, up, running, status = child.match.groups()
        assert (link, up, running, status) == (("1", "1", "1", "0") if want == "up" else ("0", "1", "0", "0")), \
            (action, want)
        child.expect("ping=(ok|no)")
        assert child.match.group(1) == ("ok" if ping else "no"), (action, want)
    Board.wait_boot(child)
    assert [e["plugged"] for e in board.events("cable")] == [a == "plug" for a, _, _ in steps if a]


def test_dhcp_can_be_turned_on_while_the_board_runs(board, tmp_path):
    body = "dhclient -1 eth0; echo first=$?\nread go\ndhclient -1 eth0; echo second=$?\n"
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), timeout=60)
    child.expect(r"first=(\d)")
    assert child.match.group(1) == "2"
    board.dhcp(True)
    child.sendline("")
    child.expect(r"second=(\d)")
    assert child.match.group(1) == "0"
    Board.wait_boot(child)
    assert [e["on"] for e in board.events("dhcp-server")] == [True]
    assert [e["event"] for e in board.events("dhcp")] == ["leasefail", "bound"]


# --- nothing leaves the two namespaces ------------------------------------------

def proc_table(pid, name):
    """Rows of /proc/PID/net/NAME (the kernel's view of that process's network namespace)."""
    return [line.split() for line in Path(f"/proc/{pid}/net/{name}").read_text().splitlines()[1:]]


def interfaces(pid):
    return {row[0].rstrip(":") for row in proc_table(pid, "dev")[1:]}


def find_server(board):
    root = f"--tftp-root={board.tftp}"
    for entry in Path("/proc").iterdir():
        try:
            argv = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if argv[0].endswith(b"dnsmasq") and root.encode() in argv:
            return int(entry.name), [a.decode() for a in argv if a]
    return None, []


def test_the_network_stays_inside_the_board_and_its_peer(board, tmp_path):
    if not os.access("/proc/1/net/dev", os.R_OK):
        pytest.skip("other processes' network tables are not readable here")
    board.dhcp(True)
    host_before = interfaces("self")
    body = ("dhclient -1 eth0 >/dev/null 2>&1; echo lease=$?\n"
            "cat /proc/net/dev > /user/dev; cat /proc/net/route > /user/route; read done\n")
    child = board.spawn_boot(bootmgr=shell_script(tmp_path, body), timeout=60)
    child.expect("lease=0")
    pid, argv = find_server(board)
    try:
        assert pid, "the board's dnsmasq is running"
        assert os.readlink(f"/proc/{pid}/ns/net") != os.readlink("/proc/self/ns/net")
        assert interfaces(pid) == {"lo", "uplink"}
        routes = [(row[0], row[1], row[7]) for row in proc_table(pid, "route")]
        assert routes == [("uplink", "0001A8C0", "00FFFFFF")], "192.168.1.0/24 on uplink and nothing else"
        bound = {(row[1].split(":")[0], int(row[1].split(":")[1], 16)) for row in proc_table(pid, "udp")}
        assert bound == {("0A01A8C0", 69), ("00000000", 67)}, "TFTP on 192.168.1.10, DHCP tied to uplink, not lo"
        assert not [row for row in proc_table(pid, "tcp") if row[3] == "0A"], "nothing listens on TCP"
        for option in ["--bind-interfaces", "--interface=uplink", f"--listen-address={PEER_ADDRESS}", "--port=0",
                       "--no-resolv", "--conf-file=/dev/null"]:
            assert option in argv
        assert interfaces("self") == host_before
    finally:
        child.sendline("")
        Board.wait_boot(child)
    board_interfaces = {l.split(":")[0].strip() for l in (board.user / "dev").read_text().splitlines()[2:]}
    assert board_interfaces == {"lo", "eth0"}
    board_routes = [(row.split()[0], row.split()[1]) for row in (board.user / "route").read_text().splitlines()[1:]]
    assert board_routes == [("eth0", "0001A8C0")], "no default route from the lease"
    assert interfaces("self") == host_before
    assert find_server(board) == (None, []), "the server ends with the board"
