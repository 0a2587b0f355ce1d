"""The Wi-Fi module's command links and its upgrade, over libwlink (wlink.h) through ctypes.

    import wlink
    with wlink.open_serial("/dev/ttyUSB0") as link:
        print(link.get("ssid"))
        link.upgrade("firmware.pkg", host="192.168.1.1",
                     progress=lambda sent, total: print(sent, "of", total))

The library loaded is $WLINK_LIBRARY when set, else the libwlink.so.2 of the prefix
this file is installed in (PREFIX/lib/python3/dist-packages/wlink.py), else the
system's. Every failure raises WlinkError. A link is used by one thread at a time;
cancel() alone may be called from another thread while a call runs (the library
releases the interpreter during its calls). Callbacks run in the calling thread.
"""
import ctypes
import os
import sysconfig
from ctypes import POINTER, Structure, byref, c_char, c_char_p, c_int, c_size_t, c_uint16, c_void_p
from dataclasses import dataclass
from pathlib import Path

__all__ = ["WlinkError", "Link", "Station", "open_serial", "open_udp", "version", "status_name", "library_path"]

_SONAME = "libwlink.so.2"
_REPLY_SIZE = 256  # WLINK_REPLY_MAX + 1
_OK, _ERR_REPLY = 0, 1


def _find_library():
    if os.environ.get("WLINK_LIBRARY"):
        return os.environ["WLINK_LIBRARY"]
    here = Path(__file__).resolve().parents
    if len(here) > 3 and here[1].name == "python3":
        prefix = here[3]
        for d in (prefix / "lib", prefix / "lib" / (sysconfig.get_config_var("MULTIARCH") or ""), prefix / "lib64"):
            if (d / _SONAME).is_file():
                return str(d / _SONAME)
    return _SONAME


library_path = _find_library()
_lib = ctypes.CDLL(library_path)

_PROGRESS = ctypes.CFUNCTYPE(c_int, c_void_p, c_size_t, c_size_t)
_HEARTBEAT = ctypes.CFUNCTYPE(c_int, c_void_p, c_int, c_int)


class _Station(Structure):  # wlink_station
    _fields_ = [("size", c_size_t), ("index", c_int), ("mac", c_char * 32), ("rate", c_int),
                ("bandwidth", c_int), ("rssi0", c_int), ("rssi1", c_int)]


class _UpgradeOptions(Structure):  # wlink_upgrade_options
    _fields_ = [("size", c_size_t), ("host", c_char_p), ("port", c_uint16), ("timeout_ms", c_int),
                ("deadline_ms", c_int), ("force", c_int), ("progress", _PROGRESS), ("heartbeat", _HEARTBEAT),
                ("ctx", c_void_p)]


_L, _S, _B = c_void_p, c_int, c_char_p  # a link, a wlink_status, a text or buffer
for _name, _res, _args in [
        ("wlink_version", c_char_p, []),
        ("wlink_status_text", c_char_p, [_S]),
        ("wlink_status_name", c_char_p, [_S]),
        ("wlink_open_serial", _S, [_B, POINTER(_L)]),
        ("wlink_open_udp", _S, [_B, c_uint16, POINTER(_L)]),
        ("wlink_close", None, [_L]),
        ("wlink_is_serial", c_int, [_L]),
        ("wlink_fd", c_int, [_L]),
        ("wlink_last_error", c_char_p, [_L]),
        ("wlink_last_os_error", c_int, [_L]),
        ("wlink_set_timeout", _S, [_L, c_int]),
        ("wlink_set_retries", _S, [_L, c_int]),
        ("wlink_cancel", None, [_L]),
        ("wlink_command", _S, [_L, _B, _B, c_size_t]),
        ("wlink_command_value", _S, [_L, _B, _B, c_size_t]),
        ("wlink_setting_by_name", c_int, [_B]),
        ("wlink_get", _S, [_L, c_int, _B, c_size_t]),
        ("wlink_set", _S, [_L, c_int, _B]),
        ("wlink_apply", _S, [_L]),
        ("wlink_station_count", _S, [_L, POINTER(c_int)]),
        ("wlink_station_get", _S, [_L, c_int, POINTER(_Station)]),
        ("wlink_station_lease", _S, [_L, _B, _B, c_size_t]),
        ("wlink_upgrade_options_init", None, [POINTER(_UpgradeOptions)]),
        ("wlink_upgrade", _S, [_L, _B, c_size_t, POINTER(_UpgradeOptions)]),
        ("wlink_upgrade_file", _S, [_L, _B, POINTER(_UpgradeOptions)])]:
    _f = getattr(_lib, _name)
    _f.restype, _f.argtypes = _res, _args


def _text(b):
    return b.decode("utf-8", "replace") if b else ""


def version():
    """The library's version, such as "2.1.0"."""
    return _text(_lib.wlink_version())


def status_name(status):
    """The stable name of a status number: "ok", "no-reply", "cancelled", ..."""
    return _text(_lib.wlink_status_name(status))


class WlinkError(Exception):
    """A call that did not end with WLINK_OK. status: the number; name: its stable name
    (wlink_status_name); text: its phrase; detail: wlink_last_error; os_error: errno
    behind it (0 for none); reply: the module's reply for "err-reply", else None."""

    def __init__(self, status, detail="", os_error=0, reply=None):
        self.status, self.detail, self.os_error, self.reply = status, detail, os_error, reply
        self.name, self.text = status_name(status), _text(_lib.wlink_status_text(status))
        super().__init__(f"{self.name}: {self.text}" + (f" ({detail})" if detail else ""))


@dataclass
class Station:
    """One associated station (AT+CINFO=): mac "" for a free slot; rate in Mbit/s,
    bandwidth 20 or 40 (MHz), rssi0 and rssi1 in dBm."""
    index: int
    mac: str
    rate: int
    bandwidth: int
    rssi0: int
    rssi1: int


def _setting(name):
    s = _lib.wlink_setting_by_name(name.encode())
    if s < 0:
        raise ValueError(f"no setting named {name!r}")
    return s


def _open(fn, *args):
    h = _L()
    st = fn(*args, byref(h))
    if st != _OK:
        raise WlinkError(st, _text(_lib.wlink_last_error(None)), _lib.wlink_last_os_error(None))
    return Link(h)


def open_serial(device):
    """Opens a serial port for this process alone ("port-busy" when another holds it)."""
    return _open(_lib.wlink_open_serial, os.fsencode(device))


def open_udp(host, port=0):
    """Opens the module's UDP command port (0: 8888) on host."""
    return _open(_lib.wlink_open_udp, host.encode(), port)


class Link:
    """An open link (open_serial, open_udp); a context manager that closes it."""

    def __init__(self, handle):
        self._h = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def close(self):
        h, self._h = getattr(self, "_h", None), None
        if h and _lib:  # _lib: None when the interpreter is ending
            _lib.wlink_close(h)

    def _link(self):
        if not self._h:
            raise ValueError("the link is closed")
        return self._h

    def _check(self, st, reply=None):
        if st != _OK:
            raise WlinkError(st, _text(_lib.wlink_last_error(self._h)), _lib.wlink_last_os_error(self._h), reply)

    @property
    def is_serial(self):
        return bool(_lib.wlink_is_serial(self._link()))

    def fileno(self):
        return _lib.wlink_fd(self._link())

    def set_timeout(self, ms):
        """The time limit of one try in milliseconds (2000)."""
        self._check(_lib.wlink_set_timeout(self._link(), ms))

    def set_retries(self, retries):
        """UDP re-sends after a silent try (2)."""
        self._check(_lib.wlink_set_retries(self._link(), retries))

    def cancel(self):
        """Stops the call in progress on this link (or the next one); safe from any thread."""
        if self._h:
            _lib.wlink_cancel(self._h)

    def _reply(self, fn, cmd):
        buf = ctypes.create_string_buffer(_REPLY_SIZE)
        st = fn(self._link(), cmd.encode(), buf, _REPLY_SIZE)
        self._check(st, _text(buf.value) if st == _ERR_REPLY else None)
        return _text(buf.value)

    def command(self, cmd):
        """Sends one command; its reply ("+OK", "+OK=value"). "+ERR" raises ("err-reply")."""
        return self._reply(_lib.wlink_command, cmd)

    def command_value(self, cmd):
        """The same, the value alone ("" for "+OK")."""
        return self._reply(_lib.wlink_command_value, cmd)

    def get(self, name):
        """A setting by its name ("ssid", "channel", "udp-peer", ...)."""
        buf = ctypes.create_string_buffer(_REPLY_SIZE)
        self._check(_lib.wlink_get(self._link(), _setting(name), buf, _REPLY_SIZE))
        return _text(buf.value)

    def set(self, name, value):
        """Checks and sets a setting ("bad-value" and nothing sent when the module would refuse it)."""
        self._check(_lib.wlink_set(self._link(), _setting(name), str(value).encode()))

    def apply(self):
        """AT+ENCFG: applies what the setters wrote."""
        self._check(_lib.wlink_apply(self._link()))

    def stations(self):
        """The associated stations (AT+CNUM, then AT+CINFO= for each), a list of Station."""
        count = c_int()
        self._check(_lib.wlink_station_count(self._link(), byref(count)))
        out = []
        for i in range(count.value):
            st = _Station(size=ctypes.sizeof(_Station))
            self._check(_lib.wlink_station_get(self._h, i, byref(st)))
            out.append(Station(st.index, _text(st.mac), st.rate, st.bandwidth, st.rssi0, st.rssi1))
        return out

    def lease(self, mac):
        """The address the module leased to a station, "" when it has none."""
        buf = ctypes.create_string_buffer(64)
        self._check(_lib.wlink_station_lease(self._link(), mac.encode(), buf, 64))
        return _text(buf.value)

    def upgrade(self, package, host=None, port=0, timeout_ms=None, deadline_ms=0, force=False,
                progress=None, heartbeat=None):
        """Upgrades the module from package (bytes, or a file's path). host: the module's address
        (None: a UDP link's host); port 0: 9999; timeout_ms: silence allowed after the package
        (300000); deadline_ms: the whole upgrade (0: none). progress(sent, total) and
        heartbeat(value, count) run in this thread; a true return stops the upgrade as cancel()
        does, and an exception they raise stops it and is raised again here."""
        o = _UpgradeOptions()
        _lib.wlink_upgrade_options_init(byref(o))
        if o.size != ctypes.sizeof(o):
            raise RuntimeError(f"{library_path}: wlink_upgrade_options of {o.size} bytes, {ctypes.sizeof(o)} here")
        o.host, o.port, o.deadline_ms, o.force = host.encode() if host else None, port, deadline_ms, int(force)
        if timeout_ms is not None:
            o.timeout_ms = timeout_ms
        raised = []

        def wrap(fn, kind):
            def call(_ctx, a, b):
                try:
                    return 1 if fn(a, b) else 0
                except BaseException as e:
                    raised.append(e)
                    return 1
            return kind(call) if fn else kind()

        callbacks = (wrap(progress, _PROGRESS), wrap(heartbeat, _HEARTBEAT))  # alive until the call ends
        o.progress, o.heartbeat = callbacks
        if isinstance(package, (str, os.PathLike)):
            st = _lib.wlink_upgrade_file(self._link(), os.fsencode(package), byref(o))
        else:
            data = bytes(package)
            st = _lib.wlink_upgrade(self._link(), data, len(data), byref(o))
        if raised:
            raise raised[0]
        self._check(st)
