"""The pseudo-terminal of a simulated device: raw on both sides, its path on standard output."""
import os
import pty
import tty


def open_announced():
    """Opens the pair, prints the slave's path for the test and returns the master."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    tty.setraw(master)
    print(os.ttyname(slave), flush=True)
    return master
