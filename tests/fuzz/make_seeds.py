#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

Run from anywhere; it rewrites only the seed files it names. The fuzzers never
write into corpus/ (run_fuzzers.sh works on a scratch copy)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
FACTORY = os.path.join(HERE, "..", "..", "sim", "factory")


def read_factory(suffix):
    """The simulated module's factory file whose name ends in `suffix`."""
    names = sorted(n for n in os.listdir(FACTORY) if n.endswith(suffix))
    assert len(names) == 1, names
    with open(os.path.join(FACTORY, names[0]), "rb") as f:
        return f.read()


def factory_profile():
    return read_factory(".dat")


def factory_dhcp():
    return read_factory(".conf")


def sum8(data):
    return sum(data) & 0xFF


def frames(text, total=None):
    """The serial frames of a message, 12 payload bytes each."""
    total = len(text) if total is None else total
    out = b""
    off = 0
    while True:
        chunk = text[off:off + 12]
        f = bytes([total & 0xFF, len(chunk), off & 0xFF]) + chunk + bytes(12 - len(chunk))
        out += f + bytes([sum8(f)])
        off += 12
        if off >= len(text):
            return out


def nul(*parts):
    """Parts joined by NUL bytes (no octal escapes to trip over)."""
    return b"\0".join(parts)


def datagram(payload, seq=7, length=None):
    length = len(payload) if length is None else length
    return bytes([0x55, 0x44, 0x33, 0x22]) + b"seq" + bytes([seq & 0xFF]) + b"," + bytes([length & 0xFF]) + \
        payload + bytes([sum8(payload)])


SEEDS = {
    "fuzz_frames": {
        "heartbeat": bytes.fromhex("030300" "41542B") + bytes(9) + bytes([0xC6]),
        "ssid_12_bytes": frames(b"AT+SSID=Home"),
        "dhcp_two_frames": frames(b"AT+DHCP=100 50 24h"),
        "three_frames": frames(b"AT+CWIFISINGALSINGLEINFO=3"),
        "bad_checksum_then_heartbeat": bytes.fromhex("030300" "41542B") + bytes(9) + bytes([0xC7]) +
        frames(b"AT+"),
        "peer_error_then_command": frames(b"+err=-1") + frames(b"AT+VER"),
        "first_frame_lost": frames(b"AT+DHCP=100 50 24h")[16:],
        "two_commands": frames(b"AT+KEY=12345678") + frames(b"AT+ENCFG"),
        "offset_past_buffer": (lambda f: f + bytes([sum8(f)]))(bytes([127, 12, 120]) + b"ABCDEFGHIJKL"),
        "longest_command": frames(b"AT+SSID=" + b"x" * 119),
    },
    "fuzz_datagram": {
        "heartbeat": bytes.fromhex("55443322736571072C0341542BC0"),
        "ssid_seq0": datagram(b"AT+SSID=x", seq=0),
        "empty_payload": datagram(b""),
        "longest_payload": datagram(b"AT+KEY=" + b"k" * 120, seq=-1),
        "length_128": datagram(b"A" * 128),
        "bad_checksum": datagram(b"AT+VER")[:-1] + b"\x00",
        "wrong_magic": bytes.fromhex("55443323736571072C0341542BC0"),
        "short_datagram": bytes.fromhex("55443322736571072C0541542B"),
    },
    "fuzz_dispatch": {
        "heartbeat": b"AT+",
        "set_ssid": b"AT+SSID=x",
        "set_dhcp": b"AT+DHCP=100 50 24h",
        "set_vlan": b"AT+VLAN=1 2",
        "lan_dhcp_apply": nul(b"AT+LANIP=192.168.2.1", b"AT+DHCP=10 20 2h", b"AT+ENCFG", b"AT+LANIP"),
        "udp_peer": nul(b"AT+UIP=10.0.0.2", b"AT+UIP"),
        "channel_auto": nul(b"AT+CHANNEL=auto", b"AT+CHANNEL", b"AT+CHANNEL!="),
        "auth_open": nul(b"AT+AUTH=OPEN", b"AT+ENCRY", b"AT+AUTH=WPAPSK_WPA2PSK", b"AT+AUTH"),
        "encrypt_tkip_aes": nul(b"AT+ENCRY=TKIP/AES", b"AT+ENCRY"),
        "wifi_off_apply": nul(b"AT+WIFI=OFF", b"AT+ENCFG", b"AT+WIFI"),
        "htmode": nul(b"AT+HTMODE=HT20", b"AT+HTMODE"),
        "port_dhcp_vlan_off": nul(b"AT+PORT", b"AT+DHCP=OFF", b"AT+VLAN=OFF", b"AT+VLAN", b"AT+DHCP"),
        "key_apostrophe": nul(b"AT+KEY=abc'def", b"AT+KEY"),
        "reboot_restore": nul(b"AT+REBOOT", b"AT+RESTORE", b"AT+VER"),
        "radio_limits": nul(b"AT+COUNTRY=US", b"AT+TXPOWER=50", b"AT+STANUM=8", b"AT+STANUM", b"AT+COUNTRY",
                            b"AT+TXPOWER"),
        "line_break_value": nul(b"AT+SSID=a\nb", b"AT+SSID"),
        "unknown": nul(b"at+ver", b"AT+\r\n", b""),
    },
    "fuzz_profile": {
        "factory_ssid": factory_profile() + nul(b"", b"SSID1", b"Home"),
        "factory_lan": factory_profile() + nul(b"", b"LanIpaddr", b"192.168.2.1"),
        "prefix_key": nul(b"ApCliSSID1=a\nSSID1=b\n", b"SSID1", b"new"),
        "two_lines": nul(b"Channel=1\nChannel=6\n", b"Channel", b"auto'x"),
        "comment_blank_empty": nul(b"#SSID1=old\n SSID1=old\nSSID1=\n", b"SSID1", b"v"),
        "absent_key": nul(b"a=b\nc=d", b"missing", b"x"),
        "no_final_newline": nul(b"x=1\nWifiSwitch=ON", b"WifiSwitch", b"OFF"),
        "line_break_value": nul(b"SSID1=a\n", b"SSID1", b"a\nb"),
        "longest_line": nul(b"SSID1=" + b"x" * 504 + b"\nChannel=6\n", b"SSID1", b"v"),
    },
    "fuzz_dhcp_cfg": {
        "factory_start": factory_dhcp() + nul(b"", b"start", b"192.168.1.10"),
        "factory_router": factory_dhcp() + nul(b"", b"router", b"192.168.2.1"),
        "factory_lease": factory_dhcp() + nul(b"", b"lease", b"7200"),
        "factory_end": factory_dhcp() + nul(b"", b"end", b"192.168.1.250"),
        "no_class_key": nul(b"opt\tdns\t1.1.1.1\n", b"opt", b"x"),
        "comment": nul(b"# router here\nopt router 1.1.1.1\n", b"router", b"10.0.0.1"),
        "absent_key": nul(b"interface br0\n", b"start", b"1.2.3.4"),
        "longest_line": nul(b"start " + b"x" * 504 + b"\nend 1.2.3.4\n", b"start", b"v"),
    },
}


# Inputs that once broke a property, kept under regressions/<target>/.
REGRESSIONS = {
    # A line of 511 characters or more is read in pieces; a first piece that begins
    # with the key is rewritten as a line of its own, so the file gains a line.
    "fuzz_profile": {
        "long_line_split": nul(b"SSID1=" + b"x" * 600 + b"\n", b"SSID1", b"v"),
        "long_line_511": nul(b"SSID1=" + b"x" * 505 + b"\n", b"SSID1", b"v"),
    },
    "fuzz_dhcp_cfg": {
        "long_line_split": nul(b"start " + b"x" * 600 + b"\n", b"start", b"v"),
        "long_line_511": nul(b"start " + b"x" * 505 + b"\n", b"start", b"v"),
    },
}


def main():
    for target, seeds in SEEDS.items():
        d = os.path.join(HERE, "corpus", target)
        os.makedirs(d, exist_ok=True)
        os.makedirs(os.path.join(HERE, "regressions", target), exist_ok=True)
        keep = os.path.join(HERE, "regressions", target, ".keep")
        if not os.path.exists(keep):
            open(keep, "wb").close()
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
    for target, inputs in REGRESSIONS.items():
        for name, data in inputs.items():
            with open(os.path.join(HERE, "regressions", target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
