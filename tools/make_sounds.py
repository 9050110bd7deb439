#!/usr/bin/python3
"""Writes the navigation sounds into the folder given: Registration.wav (a rising two-tone
chime), DepthWarning.wav and NerveWarning.wav (short beeps), Screenshot.wav (a shutter click). 16-bit mono PCM at 22050 Hz."""
import math
import os
import struct
import sys
import wave

RATE = 22050


def tone(frequency, seconds, volume=0.5):
    count = int(RATE * seconds)
    fade = int(RATE * 0.01)
    samples = []
    for i in range(count):
        envelope = min(1.0, i / fade, (count - i) / fade)
        samples.append(volume * envelope * math.sin(2 * math.pi * frequency * i / RATE))
    return samples


def write(path, samples):
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(b"".join(struct.pack("<h", int(s * 32767)) for s in samples))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    silence = [0.0] * int(RATE * 0.05)
    write(os.path.join(folder, "Registration.wav"), tone(660, 0.15) + silence + tone(880, 0.25))
    write(os.path.join(folder, "DepthWarning.wav"), tone(1200, 0.12) + silence + tone(1200, 0.12))
    write(os.path.join(folder, "NerveWarning.wav"), tone(440, 0.3, 0.6))
    write(os.path.join(folder, "Screenshot.wav"), tone(2400, 0.02, 0.5) + silence + tone(1800, 0.03, 0.4))


if __name__ == "__main__":
    main()
