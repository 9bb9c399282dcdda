#!/usr/bin/env python3
"""Checks the simulator's radio model without the gateway: plays a gateway that keeps at most K
frames outstanding in the engine (K = 0: all at once), asking "Y" every 0.5 s and counting the
"D" frames sent since the request, and prints the time until 200 frames of 80 bytes have aired.

    bench/paced_engine.py K [BAUD [FRAMES]]   (build/tools/pktgate-sim, or $PKTGATE_SIM)
"""
import os, re, socket, struct, subprocess, sys, time

k = int(sys.argv[1])
baud = sys.argv[2] if len(sys.argv) > 2 else "1200"
count = int(sys.argv[3]) if len(sys.argv) > 3 else 200
top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sim_exe = os.environ.get("PKTGATE_SIM", os.path.join(top, "build", "tools", "pktgate-sim"))
sim = subprocess.Popen([sim_exe, "--engine-only", "--agw-port", "0", "--users", "1",
                        "--lines-per-user", "0", "--baud", baud, "--quiet"],
                       stdout=subprocess.PIPE, text=True)
try:
    port = int(re.search(r"127\.0\.0\.1:(\d+)", sim.stdout.readline()).group(1))
    s = socket.create_connection(("127.0.0.1", port))
    pending = b""

    def frame(kind, call_from, call_to, data=b"", pid=0):
        return struct.pack("<B3scxBx10s10sI4x", 0, b"", kind, pid, call_from, call_to,
                           len(data)) + data

    def read(timeout):
        global pending
        s.settimeout(timeout)
        try:
            pending += s.recv(65536)
        except socket.timeout:
            pass
        out = []
        while len(pending) >= 36:
            n = struct.unpack_from("<I", pending, 28)[0]
            if len(pending) < 36 + n:
                break
            out.append((pending[4:5], pending[8:18].rstrip(b"\0"), pending[36:36 + n]))
            pending = pending[36 + n:]
        return out

    s.sendall(frame(b"X", b"GB7TC", b""))
    user = None
    while user is None:
        user = next((f for kind, f, _ in read(1) if kind == b"C"), None)
    text = b"x" * 79 + b"\r"
    left, held, since, asked_since, polls, last_poll = count, 0, 0, 0, 0, -1.0
    t0 = time.monotonic()
    while True:
        if k == 0 and left:
            s.sendall(b"".join(frame(b"D", b"GB7TC", user, text, 0xF0) for _ in range(left)))
            left = 0
        while k and left and held + since < k:
            s.sendall(frame(b"D", b"GB7TC", user, text, 0xF0))
            left -= 1
            since += 1
        if time.monotonic() - last_poll >= 0.5:
            s.sendall(frame(b"Y", b"GB7TC", user))
            polls += 1
            last_poll = time.monotonic()
            asked_since = since
        for kind, _, data in read(0.05):
            if kind != b"Y":
                continue
            held = struct.unpack("<I", data)[0]
            since -= asked_since
            asked_since = 0
            if not left and held == 0:
                print(f"K={k} baud={baud}: {count} frames of 80 bytes aired after "
                      f"{time.monotonic() - t0:.1f} s, {polls} Y requests")
                sys.exit(0)
finally:
    sim.terminate()
    sim.wait()
