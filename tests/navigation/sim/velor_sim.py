#!/usr/bin/python3
"""A simulated Velor tracking system on a pseudo-terminal.

Prints the slave device's path on the first line of standard output. Host frames (STX, id,
four hex digits of length, payload, XOR checksum, ETX, NUL) are checked; bytes outside a
valid frame are logged as foreign and ignored. "CMH" is answered at once with "MRS" and ends
the output, "CSI" with "MHI", "CPM" is logged, and "CRR" starts "MPD" frames at --rate Hz
with the poses of a trajectory file (lines "t_ms tool visible a b c x y z", angles in
degrees). Fault switches spoil every --fault-every-th frame: split (sent in pieces), garbage
(noise with stray STX and ETX before it), lower (lower-case hex length), trailer (no NUL after
ETX), unknown (id "MZZ"), index (tool index 99). --echo returns every byte instead,
--silent answers nothing.
"""
import argparse
import os
import random
import select
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pty_device import open_announced  # noqa: E402


def frame(ident, payload, lower=False, trailer=b"\0"):
    body = b"\x02" + ident.encode() + (b"%04x" if lower else b"%04X") % (len(payload) + 12) + payload.encode()
    checksum = 0
    for b in body:
        checksum ^= b
    return body + b"%02X" % checksum + b"\x03" + trailer


def read_trajectory(path):
    tools = {}
    if path:
        for line in open(path):
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                tools.setdefault(int(fields[1]), []).append(
                    (int(fields[0]), fields[2] == "1", [float(v) for v in fields[3:9]]))
    return tools


class Device:
    def __init__(self, args, master):
        self.args, self.master = args, master
        self.log = open(args.log, "a") if args.log else None
        self.trajectory = read_trajectory(args.trajectory)
        self.random = random.Random(args.seed)
        self.streaming = None
        self.next_frame = 0.0
        self.count = 0

    def note(self, text):
        if self.log:
            self.log.write(text + "\n")
            self.log.flush()

    def write(self, data):
        os.write(self.master, data)

    def device_frame(self, ident, payload):
        self.count += 1
        every = self.args.fault_every
        faults = self.args.fault.split(",") if self.args.fault else []
        fault = faults[(self.count // every) % len(faults)] if faults and every and self.count % every == 0 else ""
        if fault:
            self.note("fault %s" % fault)
        if fault == "unknown":
            ident = "MZZ"
        if fault == "index" and ident == "MPD":
            fields = payload.split(" ")
            fields[2] = "99"
            payload = " ".join(fields)
        data = frame(ident, payload, lower=fault == "lower", trailer=b"\x01" if fault == "trailer" else b"\0")
        if fault == "garbage":
            data = bytes(self.random.choice(b"\x02\x03xyz 09") for _ in range(20)) + data
        if fault == "split":
            cut = self.random.randrange(1, len(data))
            self.write(data[:cut])
            time.sleep(0.015)
            data = data[cut:]
        self.write(data)

    def positions(self):
        elapsed = (time.monotonic() - self.streaming) * 1000.0
        for tool, samples in sorted(self.trajectory.items()):
            current = samples[0]
            for sample in samples:
                if sample[0] > elapsed:
                    break
                current = sample
            a, b, c, x, y, z = current[2]
            error = 0 if current[1] else 7
            self.device_frame("MPD", "%d %d %d 0 %.3f %.3f %.3f 0 0 0 %.4f %.4f %.4f 0 0 0 0 0" % (
                error, int(elapsed), tool, x, y, z, a, b, c))

    def message(self, ident, payload):
        self.note("message %s %s" % (ident, payload))
        if ident == "CMH":
            self.streaming = None
            self.device_frame("MRS", "0")
        elif ident == "CSI":
            self.device_frame("MHI", '0 3 "Velor simulator 1.0"')
        elif ident == "CRR":
            self.streaming = time.monotonic()
            self.next_frame = 0.0

    def take_frames(self, buffer):
        while True:
            end = buffer.find(b"\x03")
            if end < 0 or end + 1 >= len(buffer):
                return buffer
            start = buffer.rfind(b"\x02", 0, end)
            candidate, rest = buffer[max(start, 0):end + 2], buffer[end + 2:]
            if start > 0:
                self.note("foreign %r" % buffer[:start])
            ok = start >= 0 and len(candidate) >= 12 and candidate[1:2] == b"C" and candidate[-1:] == b"\0"
            if ok:
                checksum = 0
                for b in candidate[:-4]:
                    checksum ^= b
                ok = candidate[4:8] == b"%04X" % len(candidate) and candidate[-4:-2] == b"%02X" % checksum
            if ok:
                self.message(candidate[1:4].decode(), candidate[8:-4].decode("ascii", "replace"))
            else:
                self.note("foreign %r" % candidate)
            buffer = rest

    def run(self):
        buffer = b""
        parent = os.getppid()
        while os.getppid() == parent:  # ends with the test that started it
            now = time.monotonic()
            if self.streaming is not None and now >= self.next_frame:
                self.positions()
                self.next_frame = now + 1.0 / self.args.rate
            readable, _, _ = select.select([self.master], [], [], 0.002)
            if readable:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    return
                if self.args.silent:
                    continue
                if self.args.echo:
                    self.write(data)
                    continue
                buffer = self.take_frames(buffer + data)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trajectory")
    parser.add_argument("--rate", type=float, default=40.0, help="position frames per second, 20 to 60")
    parser.add_argument("--fault", default="", help="split,garbage,lower,trailer,unknown,index (cycled)")
    parser.add_argument("--fault-every", type=int, default=0)
    parser.add_argument("--echo", action="store_true")
    parser.add_argument("--silent", action="store_true", help="reads and answers nothing")
    parser.add_argument("--log")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    Device(args, open_announced()).run()


if __name__ == "__main__":
    main()
