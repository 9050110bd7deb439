#!/usr/bin/python3
"""A simulated Polaris or Accedo camera on a pseudo-terminal.

Prints the slave device's path on the first line of standard output, then answers the host
like the device: the reset a little after the host sets 9600 baud (a pseudo-terminal carries
no serial break), COMM, INIT, VER, VSEL, SFLIST, the PVWR tool uploads (decoded and checked
against an independent builder), PINIT, PENA, TSTART, TSTOP and GX:9001 polls, whose replies
carry the poses of a trajectory file (lines "t_ms tool visible qw qx qy qz x y z error")
with a jitter of one unit in the last digit (--no-jitter: the poses as they are, so a still tool
repeats its values as a real camera's often do). Fault switches spoil chosen replies.

With --crc-oracle N SEED it prints N random texts (hex) with their CRC by crcmod instead.
"""
import argparse
import os
import pty
import random
import select
import struct
import sys
import termios
import time
import tty


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(body):
    if isinstance(body, str):
        body = body.encode("ascii")
    return body + b"%04X\r" % crc16(body)


def build_image(points):
    """The 752-byte virtual tool image, written field by field from the device's layout."""
    image = bytearray(752)
    image[0:4] = b"NDI\0"
    struct.pack_into("<IIIIIII", image, 8, 1, 0x01000001, 1, 0x33334C04, 60, 3, 3)
    struct.pack_into("<f", image, 36, 1.0)
    struct.pack_into("<f", image, 64, 10.0)
    for i, (x, y) in enumerate(points):
        struct.pack_into("<fff", image, 72 + 12 * i, x, y, 0.0)
    image[552:555] = bytes([0, 1, 2])
    struct.pack_into("<I", image, 572, 0x1F1F1F1F)
    image[576] = 9
    image[580:589] = b"Morvanta\0"
    struct.pack_into("<H", image, 592, 50)
    image[612] = 9
    image[613:616] = bytes([1, 1, 1])
    image[633:636] = bytes([1, 1, 1])
    image[653] = 128
    image[655] = 41
    struct.pack_into("<I", image, 4, sum(image[8:]) & 0xFFFFFFFF)
    return bytes(image)


def read_trajectory(path):
    tools = {}
    if not path:
        return tools
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            t, tool, visible = int(fields[0]), int(fields[1]), fields[2] == "1"
            numbers = [float(v) for v in fields[3:11]]
            tools.setdefault(tool, []).append((t, visible, numbers))
    return tools


class Device:
    def __init__(self, args, master, slave, log):
        self.args, self.master, self.slave, self.log = args, master, slave, log
        self.trajectory = read_trajectory(args.trajectory)
        self.chunks = {}
        self.enabled = 0
        self.started = None
        self.polls = 0
        self.faults = 0
        self.pending = []  # (time, bytes)
        self.speed = termios.tcgetattr(slave)[4]
        self.random = random.Random(args.seed)

    def note(self, text):
        if self.log:
            self.log.write(text + "\n")
            self.log.flush()

    def send(self, data, delay=0.0):
        self.pending.append((time.monotonic() + delay, data))

    def watch_speed(self):
        speed = termios.tcgetattr(self.slave)[4]
        if speed != self.speed:
            self.speed = speed
            self.note("speed %d" % speed)
            if speed == termios.B9600 and not self.args.no_reset:
                self.send(frame("RESET"), 0.6)

    def pose_line(self, tool, elapsed):
        samples = self.trajectory.get(tool)
        if not samples:
            return "MISSING"
        current = samples[0]
        for sample in samples:
            if sample[0] > elapsed:
                break
            current = sample
        _, visible, (qw, qx, qy, qz, x, y, z, error) = current
        if not visible:
            return "MISSING"
        j = 0 if self.args.no_jitter else self.polls % 2
        return "%+06d%+06d%+06d%+06d%+07d%+07d%+07d%+06d%08X" % (
            round(qw * 10000), round(qx * 10000), round(qy * 10000), round(qz * 10000),
            round(x * 100) + j, round(y * 100) + j, round(z * 100) + j, round(max(error, 0) * 10000), self.polls)

    def gx_reply(self):
        elapsed = (time.monotonic() - self.started) * 1000.0
        groups = int(self.args.sflist[0]) if self.args.sflist[:1].isdigit() else 0
        text = "MISSING\nMISSING\nMISSING\n00000000\n"
        for g in range(groups):
            for j in range(3):
                k = 3 * g + j
                text += (self.pose_line(k, elapsed) if k < self.enabled else "MISSING") + "\n"
            text += "00000000\n"
        markers = [(12.34, -5.6, 1500.0), (-1.0, 2.0, 1400.5)][: self.args.markers]
        text += "%03d" % len(markers) + "".join("%+07d%+07d%+07d" % tuple(round(v * 100) for v in m) for m in markers)
        return text

    def faulty(self, good, number):
        kinds = self.args.fault.split(",")
        kind = kinds[number % len(kinds)]
        poison = good.replace("+", "+").split("\n")
        if kind == "crc":
            data = frame(good)
            return data[:-5] + (b"0000" if data[-5:-1] != b"0000" else b"FFFF") + b"\r"
        if kind == "error":
            return frame("ERROR0D")
        if kind == "short":
            return b"AB\r"
        if kind == "glued":
            return frame(good)[: len(good) // 2]  # cut off: glued to the next reply
        if kind == "long":
            return frame("+" * 2100)
        lines = good.split("\n")  # three port lines, a number line, four lines per group, markers
        if kind.startswith("quaternion"):
            # Well framed, a CRC of its own, the first tool's quaternion scaled to the norm named
            # by the kind and its x at a position of its own (701 + the norm's tenths of a promille).
            norm = float(kind[len("quaternion"):])
            x = 70100 + int(round(norm * 10000))
            lines[4] = "%+06d+00000+00000+00000%+07d" % (round(norm * 10000), x) + lines[4][31:]
            return frame("\n".join(lines))
        if kind == "fewergroups":
            # Only the first of the announced groups.
            return frame("\n".join(lines[:8] + lines[-1:]))
        if kind == "moregroups":
            # One group more than announced.
            return frame("\n".join(lines[:-1] + ["MISSING"] * 3 + ["00000000"] + lines[-1:]))
        if kind == "poison":
            # Well framed, every tool at 999 mm, but the stray count promises more than follows.
            lines = [l if not l.startswith(("+", "-")) else l[:24] + "%+07d%+07d%+07d" % (99900, 99900, 99900) + l[45:]
                     for l in poison[:-1]]
            return frame("\n".join(lines) + "\n009")
        return frame(good)

    def command(self, text):
        self.note("command " + text)
        for prefix in self.args.no_answer:
            if text.startswith(prefix):
                return
        ok = frame("OKAY")
        if text.startswith("GX:9001"):
            if frame(text[:7]) != (text + "\r").encode():
                self.send(frame("ERROR01"))
                return
            self.note("poll %.3f" % (time.monotonic() * 1000.0))
            self.polls += 1
            if self.started is None:
                return
            if self.args.silence_after is not None and (time.monotonic() - self.started) * 1000 > self.args.silence_after:
                return
            good = self.gx_reply()
            for _ in range(self.args.burst):
                self.faults += 1
                self.send(self.faulty(good, self.faults))
            faulty = self.args.fault and self.args.fault_every and self.polls % self.args.fault_every == 0
            if faulty:
                self.faults += 1
            self.send(self.faulty(good, self.faults) if faulty else frame(good))
            self.note("faults %d" % self.faults)
        elif text.startswith("COMM"):
            self.send(ok, 0.05)
        elif text.startswith("VER"):
            self.send(frame(self.args.version + " Rev 007 Simulated"))
        elif text.startswith("SFLIST"):
            self.send(frame(self.args.sflist))
        elif text.startswith("PVWR:"):
            self.upload(text)
        elif text.startswith("PENA"):
            self.enabled = max(self.enabled, ord(text[5]) - ord("A") + 1)
            self.send(ok)
        elif text.startswith("TSTART"):
            self.started = time.monotonic()
            self.send(ok)
        elif text.startswith("TSTOP"):
            self.started = None
            self.send(ok)
        else:
            self.send(ok)

    def upload(self, text):
        body, crc = text[:-4], text[-4:]
        if "%04X" % crc16(body.encode()) != crc or len(body) != 5 + 1 + 4 + 128:
            self.send(frame("ERROR01"))
            return
        letter, address = body[5], int(body[6:10], 16)
        self.chunks.setdefault(letter, {})[address] = bytes.fromhex(body[10:])
        if address == 0x3C0:
            data = b"".join(self.chunks[letter].get(a, b"\0" * 64) for a in range(0, 1024, 64))
            image = data[:752]
            points = [struct.unpack_from("<ff", image, 72 + 12 * i) for i in range(3)]
            problems = []
            if image[:4] != b"NDI\0":
                problems.append("magic")
            if struct.unpack_from("<I", image, 4)[0] != sum(image[8:]) & 0xFFFFFFFF:
                problems.append("checksum")
            if image != build_image(points) or any(data[752:]):
                problems.append("bytes")
            self.note("image %s %s %s" % (letter, "ok" if not problems else "bad:" + ",".join(problems),
                                          " ".join("%g,%g" % p for p in points)))
        self.send(frame("OKAY"))

    def run(self):
        buffer = b""
        parent = os.getppid()
        while os.getppid() == parent:  # ends with the test that started it
            self.watch_speed()
            now = time.monotonic()
            due = [p for p in self.pending if p[0] <= now]
            self.pending = [p for p in self.pending if p[0] > now]
            for _, data in sorted(due, key=lambda p: p[0]):
                os.write(self.master, data)
            readable, _, _ = select.select([self.master], [], [], 0.002)
            if readable:
                try:
                    buffer += os.read(self.master, 4096)
                except OSError:
                    return
                while b"\r" in buffer:
                    line, buffer = buffer.split(b"\r", 1)
                    self.command(line.decode("ascii", "replace"))


def crc_oracle(count, seed):
    import crcmod.predefined
    crc = crcmod.predefined.mkCrcFun("crc-16")
    rng = random.Random(seed)
    for _ in range(count):
        text = bytes(rng.randrange(32, 127) for _ in range(rng.randrange(1, 80)))
        print(text.hex(), "%04X" % crc(text))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trajectory")
    parser.add_argument("--version", default="Polaris")
    parser.add_argument("--sflist", default="3")
    parser.add_argument("--markers", type=int, default=0)
    parser.add_argument("--no-answer", action="append", default=[], help="no reply to commands starting so")
    parser.add_argument("--no-reset", action="store_true")
    parser.add_argument("--no-jitter", action="store_true", help="no jitter in the last digit")
    parser.add_argument("--silence-after", type=float, help="ms after TSTART from which polls get no reply")
    parser.add_argument("--fault", default="", help="crc,error,short,glued,long,poison,fewergroups,moregroups,"
                        "quaternionNORM (cycled)")
    parser.add_argument("--fault-every", type=int, default=0, help="every Nth reply is faulty")
    parser.add_argument("--burst", type=int, default=0, help="faulty replies sent before each good one")
    parser.add_argument("--log")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--crc-oracle", nargs=2, type=int, metavar=("COUNT", "SEED"))
    args = parser.parse_args()
    if args.crc_oracle:
        crc_oracle(*args.crc_oracle)
        return
    master, slave = pty.openpty()
    tty.setraw(slave)
    tty.setraw(master)
    log = open(args.log, "a") if args.log else None
    device = Device(args, master, slave, log)  # notes the speed before the host can change it
    print(os.ttyname(slave), flush=True)
    device.run()


if __name__ == "__main__":
    main()
