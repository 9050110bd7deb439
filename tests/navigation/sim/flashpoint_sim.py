#!/usr/bin/python3
"""A simulated FlashPoint tracker on a pseudo-terminal.

Prints the slave device's path on the first line of standard output. The host's commands end
in a zero byte. "i1" is answered at the next line feed with the interactive greeting; every
"oe" record template is checked character by character against the device's format; once
"gb1" came, each line feed is answered with one burst of records of the markers whose
template was checked: the tool's model points (--model ID X Y Z, repeated) moved by the poses
of a trajectory file (lines "t_ms tool visible qw qx qy qz x y z error"; every tool line
moves the markers of the tool with that index in --tool-markers). Bytes that are no command
are logged as foreign and ignored.
"""
import argparse
import os
import select
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from polaris_sim import read_trajectory  # noqa: E402
from pty_device import open_announced  # noqa: E402

GREETING = b"Okay:  Interactive responses will be displayed.\r\n"


def template(marker):
    return 'oe %d "E%d %%10.2f %%10.2f %%10.2f %%4x\\r\\n"\n' % (marker, marker)


def rotate(q, p):
    w, x, y, z = q
    px, py, pz = p
    # v' = v + 2 w (q x v) + 2 q x (q x v)
    cx, cy, cz = y * pz - z * py, z * px - x * pz, x * py - y * px
    ccx, ccy, ccz = y * cz - z * cy, z * cx - x * cz, x * cy - y * cx
    return (px + 2 * (w * cx + ccx), py + 2 * (w * cy + ccy), pz + 2 * (w * cz + ccz))


class Device:
    def __init__(self, args, master):
        self.args, self.master = args, master
        self.log = open(args.log, "a") if args.log else None
        self.trajectory = read_trajectory(args.trajectory)
        self.model = {int(m[0]): tuple(float(v) for v in m[1:]) for m in args.model}
        self.tool_of = {}
        for tool, ids in enumerate(args.tool_markers):
            for marker in ids.split(","):
                self.tool_of[int(marker)] = tool
        self.defined = []
        self.greet = False
        self.streaming = False
        self.started = time.monotonic()
        if args.silence_after is not None:  # on CLOCK_MONOTONIC, as the host's steady clock
            self.note("silence at %.6f" % (self.started + args.silence_after / 1000.0))

    def note(self, text):
        if self.log:
            self.log.write(text + "\n")
            self.log.flush()

    def pose(self, tool, elapsed):
        samples = self.trajectory.get(tool)
        if not samples:
            return None
        current = samples[0]
        for sample in samples:
            if sample[0] > elapsed:
                break
            current = sample
        return current[2] if current[1] else None

    def burst(self):
        elapsed = (time.monotonic() - self.started) * 1000.0
        if self.args.silence_after is not None and elapsed > self.args.silence_after:
            return b""
        text = ""
        for marker in self.defined:
            pose = self.pose(self.tool_of.get(marker, 0), elapsed)
            if pose is None or marker not in self.model:
                continue
            x, y, z = rotate(pose[0:4], self.model[marker])
            text += "E%d %10.2f %10.2f %10.2f %4x\r\n" % (marker, x + pose[4], y + pose[5], z + pose[6], 0x1000)
        return text.encode("ascii")

    def command(self, text):
        if text == "\n":
            if self.greet:
                self.greet = False
                os.write(self.master, self.args.greeting.encode() + b"\r\n" if self.args.greeting else GREETING)
            elif self.streaming:
                data = self.burst()
                if data:
                    os.write(self.master, data)
            return
        if text == "i1":
            self.greet = True
        elif text in ("i0\n", "o0\n", "umm\n", "b0\n", "osf\n"):
            pass
        elif text == "gb1\n":
            self.streaming = True
        elif text.startswith("oe "):
            fields = text.split(" ")
            marker = int(fields[1]) if fields[1].isdigit() else -1
            ok = text == template(marker)
            if ok:
                self.defined.append(marker)
            self.note("template %d %s" % (marker, "ok" if ok else "bad"))
            return
        else:
            self.note("foreign %r" % text)
            return
        self.note("command %r" % text)

    def run(self):
        buffer = b""
        parent = os.getppid()
        while os.getppid() == parent:  # ends with the test that started it
            readable, _, _ = select.select([self.master], [], [], 0.05)
            if not readable:
                continue
            try:
                buffer += os.read(self.master, 4096)
            except OSError:
                return
            while b"\0" in buffer:
                command, buffer = buffer.split(b"\0", 1)
                self.command(command.decode("ascii", "replace"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trajectory")
    parser.add_argument("--model", nargs=4, action="append", default=[], metavar=("ID", "X", "Y", "Z"))
    parser.add_argument("--tool-markers", action="append", default=[], help="marker ids of tool 0, 1, ...: 5,6,7")
    parser.add_argument("--greeting", help="the answer to i1 instead of the device's")
    parser.add_argument("--silence-after", type=float, help="ms after start from which bursts stay away")
    parser.add_argument("--log")
    args = parser.parse_args()
    Device(args, open_announced()).run()


if __name__ == "__main__":
    main()
