#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small inputs that reach the interesting paths at once: whole sessions, frames cut
at every kind of boundary, faulty frames, settings files as the gateway writes them and as people
edit them, texts from the worked cutting examples. The fuzzers start from them; what they find
is kept in their own working corpora, not here."""
import os
import struct

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def frame(kind, call_from, call_to=b"GB7TC", data=b"", port=1, datalen=None):
    n = len(data) if datalen is None else datalen
    return (struct.pack("<B3xcxBx", port, kind, 0) + call_from.ljust(10, b"\0")[:10] +
            call_to.ljust(10, b"\0")[:10] + struct.pack("<II", n, 0) + data)


def C(call, port=1):
    return frame(b"C", call, data=b"*** CONNECTED To Station GB7TC\r\0", port=port)


def D(call, data, port=1):
    return frame(b"D", call, data=data, port=port)


def d(call, port=1):
    return frame(b"d", call, data=b"*** DISCONNECTED From Station GB7TC\r", port=port)


# fuzz_receive: [n][n control bytes][stream]. Control byte = op | arg << 3.
def arr(n):  # an arrival of exactly n stream bytes
    return bytes([0 | 31 << 3, n >> 8, n & 0xFF])


def node(kind, stream):  # 0 connected, 1 closed by the node, 2 error, 3 keep-alive tick
    return bytes([1 | kind << 3, stream - 1])


def text(stream, n):  # the node sends n stream bytes
    return bytes([2 | 31 << 3, stream - 1, n >> 8, n & 0xFF])


def queue(stream, full):
    return bytes([3 | (1 if full else 0) << 3, stream - 1])


def link(kind):  # 0 stop reading, 1 resume, 2 engine closes, 3 reconnect tick, 4 connected, 5 error,
    return bytes([4 | kind << 3])  # 6 Kick, 7 the program ends


def packet_length(index):  # index into the table of the harness (3 = 1, 21 = 130)
    return bytes([5 | index << 3])


def keep_alive(minutes):
    return bytes([6 | (minutes + 2) << 3])


def last_words(stream, n):
    return bytes([7 | 31 << 3, stream - 1, n >> 8, n & 0xFF])


def receive_seed(steps):
    """steps: list of (control bytes, stream bytes)."""
    ctl = b"".join(c for c, _ in steps)
    data = b"".join(s for _, s in steps)
    assert len(ctl) <= 255
    return bytes([len(ctl)]) + ctl + data


def session():
    hi = D(b"N0USR", b"hi\r")
    spot = b"DX de K1ABC: 14025.0 DL1XYZ\r\nN0USR de GB7TC >\r\n"
    return receive_seed([
        (arr(len(C(b"N0USR"))), C(b"N0USR")),
        (node(0, 1), b""),
        (arr(len(hi)), hi),
        (text(1, len(spot)), spot),
        (keep_alive(1), b""),
        (node(3, 1), b""),
        (arr(len(d(b"N0USR"))), d(b"N0USR")),
    ])


def typed_before_connect():
    early = D(b"N0USR", b"sh/dx\r")
    return receive_seed([
        (arr(len(C(b"N0USR")) + len(early)), C(b"N0USR") + early),
        (node(0, 1), b""),
        (b"", D(b"N0USR", b"bye\r") + d(b"N0USR")),
    ])


def byte_at_a_time():
    stream = C(b"G4ABC", 2) + D(b"G4ABC", b"hello\r\n", 2) + d(b"G4ABC", 2)
    return bytes([255]) + bytes([0]) * 255 + stream


def two_users_node_closes():
    return receive_seed([
        (arr(72), C(b"AAA") + C(b"BBB", 3)),
        (node(0, 1) + node(0, 2), b""),
        (last_words(1, 9), b"bye AAA\r\n"),
        (text(2, 11), b"hello BBB\r\n"),
        (node(2, 2), b""),
        (b"", d(b"AAA") + D(b"BBB", b"late\r")),
    ])


def faulty_frames():
    return receive_seed([
        (b"", D(b"G0XXX", b"no stream\r") + C(b"") + C(b"BAD\rCALL") +
         frame(b"X", b"GB7TC", call_to=b"", data=b"\0\0\0\0", port=0) + frame(b"K", b"N0USR") +
         C(b"N0USR") + frame(b"D", b"", data=b"anonymous\r", port=1) +
         frame(b"D", b"N0USR", datalen=70000) + C(b"LOST")),
    ])


def congestion_and_queues():
    big = b"x" * 500 + b"\r\n"
    return receive_seed([
        (arr(72), C(b"AAA") + C(b"BBB")),
        (node(0, 1) + node(0, 2), b""),
        (link(0), b""),
        (text(1, len(big)), big),
        (link(1), b""),
        (queue(2, True), b""),
        (arr(len(D(b"BBB", b"more\r"))), D(b"BBB", b"more\r")),
        (queue(2, False), b""),
    ])


def short_packets():
    lines = b"a\r\n\r\nbb\r\n" + b"c" * 300 + b"\nlast"
    return receive_seed([
        (arr(36), C(b"N0USR")),
        (node(0, 1), b""),
        (packet_length(3), b""),
        (text(1, len(lines)), lines),
        (packet_length(0), b""),
        (text(1, len(lines)), lines),
        (packet_length(8), b""),
        (text(1, len(lines)), lines),
    ])


def engine_drops_mid_frame():
    first = C(b"N0USR")
    half = D(b"N0USR", b"half a line\r")[:20]
    return receive_seed([
        (arr(len(first)), first),
        (node(0, 1), b""),
        (arr(len(half)), half),
        (link(2) + link(3) + link(4), b""),
        (b"", D(b"N0USR", b"after\r")),
    ])


def link_faults():
    return receive_seed([
        (arr(36), C(b"N0USR")),
        (node(0, 1), b""),
        (link(5) + link(6) + link(4), b""),
        (text(1, 6), b"spot\r\n"),
        (link(7), b""),
        (text(1, 6), b"spot\r\n"),
        (node(1, 1), b""),
    ])


def slots_reused():
    # Three users, the first two leave; the next two take slots 1 and 2 again.
    first = C(b"AAA") + C(b"BBB") + C(b"CCC") + d(b"AAA") + d(b"BBB")
    return receive_seed([
        (arr(len(first)), first),
        (arr(72), C(b"DDD") + C(b"EEE", 2)),
        (node(0, 1) + node(0, 2), b""),
        (last_words(2, 9), b"bye EEE\r\n"),
    ])


def cfg(lines):
    return b"".join(l + b"\r\n" for l in lines)


CONFIG = {
    "written": cfg([b'"Cluster Call","GB7TC"', b'"AGW IP","127.0.0.1"', b'"AGW Port","8000"',
                    b'"Winsock IP","127.0.0.1"', b'"Winsock Port","7300"', b'"Packet Length",130',
                    b'"Keep Alive",5', b'"Config Top",1800', b'"Config Left",1800',
                    b'"Top",1200', b'"Left",1200', b'"Height",10005', b'"Width",13425']),
    "edited": b'"Cluster Call", n0call-1 \n"AGW IP" , " 10.0.0.2 "\r"Keep Alive",2.5\r\n\r\n'
              b'"Packet Length",-0.5e3\n"Top",-12.75,"Left",1e40\n"Unknown","x"\n"Width"',
    "numbers": cfg([b'"Config Top",2147483647', b'"Config Left",-2147483648.5',
                    b'"Keep Alive",3.5', b'"Packet Length",99999999999', b'"Height",0.0000001',
                    b'"Top",340282346638528859811704183484516925440']),
    "quotes": b'"Cluster Call","ab"cd,"AGW IP",x"y"z\r\n"Winsock IP","unterminated\r\n'
              b'"Winsock Port",,"Top",\xe9\xff\r\n',
}

CUTTER = {
    "three_frames": bytes([0x80]) + struct.pack("<i", 130) + b"x" * 300,
    "one_frame_of_123": bytes([0x80]) + struct.pack("<i", 130) +
                        b"a" * 10 + b"\r\n" + b"b" * 50 + b"\r\n" + b"c" * 60 + b"\r\n",
    "empty_lines": bytes([10 + 4]) + b"a\n\nb\n",
    "cr_only": bytes([0 + 4]) + b"a\rb",
    "last_line_alone": bytes([30 + 4]) + b"a\r\nb",
    "zero_and_crlf": bytes([1 + 4]) + b"a\0b\r\n\r\r\n",
    "negative": bytes([0x80]) + struct.pack("<i", -5) + b"line\r\n" * 40,
}


def write(target, name, content):
    d = os.path.join(TOP, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def main():
    for name, fn in [("session", session), ("typed_before_connect", typed_before_connect),
                     ("byte_at_a_time", byte_at_a_time),
                     ("two_users_node_closes", two_users_node_closes),
                     ("faulty_frames", faulty_frames),
                     ("congestion_and_queues", congestion_and_queues),
                     ("short_packets", short_packets),
                     ("engine_drops_mid_frame", engine_drops_mid_frame),
                     ("link_faults", link_faults), ("slots_reused", slots_reused)]:
        write("fuzz_receive", name, fn())
    for name, content in CONFIG.items():
        write("fuzz_config", name, content)
    for name, content in CUTTER.items():
        write("fuzz_cutter", name, content)


if __name__ == "__main__":
    main()
