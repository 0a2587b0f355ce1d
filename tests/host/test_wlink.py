"""The Python module as installed with the host side, on the library installed beside it,
against the simulated module (WLINK_BUILD: the build folder; WLINK_SIM: wlinkcmd-sim)."""
import errno
import importlib
import os
import socket
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest


@pytest.fixture(scope="module")
def m(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("wlink")
    subprocess.run(["cmake", "--install", os.environ["WLINK_BUILD"], "--prefix", tmp / "usr", "--component", "host"],
                   check=True, stdout=subprocess.DEVNULL)
    os.environ.pop("WLINK_LIBRARY", None)
    sys.path.insert(0, str(tmp / "usr/lib/python3/dist-packages"))
    wlink = importlib.import_module("wlink")
    ports = []
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        with socket.socket(socket.AF_INET, kind) as s:
            s.bind(("127.0.0.1", 0))
            ports.append(s.getsockname()[1])
    err = open(tmp / "sim.err", "w+")
    sim = subprocess.Popen([os.environ["WLINK_SIM"], "--root", tmp / "root", "--bind", "127.0.0.1", "--udp-port",
                            str(ports[0]), "--upgrade-port", str(ports[1]), "--time-scale", "1"],
                           stdout=subprocess.DEVNULL, stderr=err)
    for _ in range(100):
        if " ready " in (tmp / "sim.err").read_text():
            break
        time.sleep(0.1)
    (tmp / "image").write_bytes(bytes(1 << 20))
    (tmp / "app").write_bytes(bytes(500))
    with wlink.open_serial(tmp / "root/sim/tty") as link:
        link.command("AT+UIP=127.0.0.1")
    yield SimpleNamespace(wlink=wlink, tmp=tmp, root=tmp / "root", tty=str(tmp / "root/sim/tty"), udp=ports[0],
                          up=ports[1], ctl=tmp / "usr/bin/wlinkctl")
    sim.terminate()
    sim.wait(10)


def package(m, minor):
    out = m.tmp / f"pkg{minor}"
    subprocess.run([m.ctl, "pack", "--image", m.tmp / "image", "--app", m.tmp / "app", "--version", f"7.{minor}",
                    "-o", out], check=True, stdout=subprocess.DEVNULL)
    return out


def upgrade(m, link, minor, **kw):
    """link.upgrade, again while the module still ends an upgrade stopped before (upgrade-busy)."""
    for _ in range(50):
        try:
            return link.upgrade(package(m, minor), port=m.up, **kw)
        except m.wlink.WlinkError as e:
            if e.name != "upgrade-busy":
                raise
        time.sleep(0.2)


def test_open_get_set_command(m):
    w = m.wlink
    assert w.version() == "2.1.0" and w.library_path == str(m.tmp / "usr/lib/libwlink.so.2")
    with pytest.raises(w.WlinkError) as e:
        w.open_serial(m.tmp / "no-such-port")
    assert (e.value.name, e.value.os_error) == ("open-failed", errno.ENOENT) and e.value.detail
    with w.open_serial(m.tty) as link:
        with pytest.raises(w.WlinkError) as e:
            w.open_serial(m.tty)
        assert e.value.name == "port-busy"
        link.set("ssid", "Recorder 7")
        assert link.get("ssid") == "Recorder 7" and link.command("AT+SSID") == "+OK=Recorder 7"
        with pytest.raises(w.WlinkError) as e:
            link.set("channel", 14)
        assert e.value.name == "bad-value" and e.value.detail
        with pytest.raises(ValueError):
            link.get("no-such-setting")
        assert link.command_value("AT+UIP=127.0.0.1") == ""
        with pytest.raises(w.WlinkError) as e:
            link.command("AT+UIP=host.lan")
        assert e.value.name == "err-reply" and e.value.reply == "+ERR"
    with w.open_udp("127.0.0.1", m.udp) as link:
        assert not link.is_serial and link.command_value("AT+SSID") == "Recorder 7"
    with pytest.raises(ValueError):
        link.get("ssid")


def test_stations(m):
    (m.root / "sim/stations").write_text("aa:bb:cc:00:00:01 -45 -50 -60 HT40 150 100 200 25\n"
                                         "aa:bb:cc:00:00:02 -70 -72 -80 HT20 65 300 1000 130\n")
    with m.wlink.open_serial(m.tty) as link:
        got = [(s.index, s.mac, s.rate, s.bandwidth, s.rssi0, s.rssi1) for s in link.stations()]
    assert got == [(0, "aa:bb:cc:00:00:01", 150, 40, -45, -50), (1, "aa:bb:cc:00:00:02", 65, 20, -70, -72)]


def test_upgrade_with_progress(m):
    sent, beats = [], []
    data = package(m, 1).read_bytes()
    with m.wlink.open_udp("127.0.0.1", m.udp) as link:
        link.upgrade(data, port=m.up, progress=lambda n, total: sent.append((n, total)),
                     heartbeat=lambda v, c: beats.append(c))
        assert link.command_value("AT+VER") == "V7.1"
    assert sent[-1] == (len(data), len(data)) and sent == sorted(sent) and beats


def test_cancel_from_progress(m):
    with m.wlink.open_udp("127.0.0.1", m.udp) as link:
        before, start = link.command_value("AT+VER"), time.monotonic()
        with pytest.raises(m.wlink.WlinkError) as e:
            upgrade(m, link, 2, progress=lambda n, total: n < total)
        assert e.value.name == "cancelled" and time.monotonic() - start < 1
        with pytest.raises(KeyError):  # a callback's exception stops the upgrade and comes back
            upgrade(m, link, 2, progress=lambda n, total: n < total and {}[n])
        assert link.command_value("AT+VER") == before


def test_cancel_from_another_thread(m):
    (m.root / "sim/flash-delay-ms").write_text("3000")
    beat, cancelled = threading.Event(), []
    with m.wlink.open_udp("127.0.0.1", m.udp) as link:
        def cancel():
            if beat.wait(10):
                cancelled.append(time.monotonic())
                link.cancel()
        canceller = threading.Thread(target=cancel)
        canceller.start()
        with pytest.raises(m.wlink.WlinkError) as e:
            upgrade(m, link, 3, heartbeat=lambda v, c: beat.set())
        canceller.join()
        assert e.value.name == "upgrade-cancelled-writing" and time.monotonic() - cancelled[0] < 1
        for _ in range(100):  # the module goes on writing flash
            if link.command_value("AT+VER") == "V7.3":
                break
            time.sleep(0.1)
        assert link.command_value("AT+VER") == "V7.3"
