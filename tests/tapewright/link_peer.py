#!/usr/bin/python3
"""A hostile peer of the remote link: connects to a playing twdemo and sends what the link must
refuse, then two key strokes split at every byte, then 17 MiB without a separator.
With "odd": sends good key strokes with elements between them that cannot be played (an unknown
tag, a known tag without its attributes, a widget that does not exist, 100 KiB in one attribute),
one nested 100,000 deep, one of 100,000 attributes, one in UTF-16 of 100,000 attributes and one
with a document type of 100,000 attribute defaults, then closes; the good elements are also
written to FOLDER/good.tws for a replay from a file.
With "burst": sends eight key strokes and half an element in one write and closes at once.
With "overflow": sends two key presses and then 17 MiB without a separator in one write.
usage: link_peer.py PORT FOLDER [odd|burst|overflow]"""
import os
import socket
import sys
import time

port, folder = int(sys.argv[1]), sys.argv[2]
SEP = b" -+-*-+-*- \n"
EDIT = "/twdemo/central/edit"


def element(text):
    return text.encode() + b"\n" + SEP


def key(tag, letter):
    return element(f'<{tag} ascii="{ord(letter)}" key="{letter.upper()}" name="{EDIT}" sleep="0" text="{letter}"/>')


deadline = time.time() + 20
while True:
    try:
        peer = socket.create_connection(("127.0.0.1", port))
        break
    except OSError:
        if time.time() > deadline:
            sys.exit("twdemo never listened")
        time.sleep(0.1)
peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

if sys.argv[3:] == ["odd"]:
    good = [key(tag, letter)[:-len(SEP)] for letter in "xyz" for tag in ("KeyPress", "KeyRelease")]
    odd = [element('<Frobnicate name="/twdemo/central/edit" sleep="0"/>'),
           element('<QTabBar..mouseEvent name="/twdemo/central/tabs/qt_tabwidget_tabbar"/>'),
           element('<KeyPress/>'),
           element('<KeyPress ascii="81" key="Q" name="/twdemo/central/nothing" text="q"/>'),
           element(f'<KeyPress ascii="81" key="Q" name="/twdemo/{"n" * 100 * 1024}" text="q"/>'),
           element("<a>" * 100000 + "</a>" * 100000),
           element(f'<KeyPress name="{EDIT}" ' + " ".join(f'a{i}=""' for i in range(100000)) + "/>"),
           # U+2200 is the bytes 00 22 in UTF-16LE: a quote to a byte scan.
           ("\ufeff" + f'<KeyPress name="{EDIT}" text="\u2200" ' + " ".join(f'a{i}=""' for i in range(100000))
            + "/>").encode("utf-16-le") + b"\n" + SEP,
           element("<!DOCTYPE KeyPress [<!ATTLIST KeyPress " + " ".join(f'd{i} CDATA "x"' for i in range(100000))
                   + f'>]><KeyPress name="{EDIT}"/>')]
    for i, piece in enumerate(good):
        peer.sendall(piece + SEP)
        if i % 2 == 1:
            for bad in odd:
                peer.sendall(bad)
    with open(os.path.join(folder, "good.tws"), "wb") as script:
        script.write(b"<Events>\n" + b"".join(good) + b"</Events>\n")
    peer.close()
    sys.exit(0)

if sys.argv[3:] == ["burst"]:
    peer.sendall(b"".join(key(tag, letter) for letter in "abcdefgh" for tag in ("KeyPress", "KeyRelease"))
                 + f'<KeyPress name="{EDIT}" key="Z'.encode())
    peer.close()
    sys.exit(0)


def drain():
    """Reads until the player closes the link."""
    try:
        peer.settimeout(20)
        while peer.recv(65536):
            pass
    except OSError:
        pass


if sys.argv[3:] == ["overflow"]:
    peer.sendall(key("KeyPress", "a") + key("KeyPress", "b") + b"x" * (17 * 1024 * 1024))
    drain()
    peer.close()
    sys.exit(0)

with open(os.path.join(folder, "inc.tpw"), "w") as include:
    include.write(f'<Events><KeyPress ascii="90" key="Z" name="{EDIT}" text="Z"/></Events>')
peer.sendall(element(f'<RunCommand command="touch {folder}/ran"/>'))
peer.sendall(element(f'<ScreenDump name="/twdemo" fileName="{folder}/absolute.png"/>'))
peer.sendall(element('<ScreenDump name="/twdemo" fileName="../dotdot.png"/>'))
peer.sendall(element(f'<Include file="{folder}/inc.tpw"/>'))
peer.sendall(element('<KeyPress name="unclosed'))
for piece in (key("KeyPress", "a") + key("KeyRelease", "a") + key("KeyPress", "b") + key("KeyRelease", "b")):
    peer.send(bytes([piece]))
    time.sleep(0.001)
time.sleep(0.5)
try:
    peer.sendall(b"x" * (17 * 1024 * 1024))
except OSError:
    pass
drain()
peer.close()
