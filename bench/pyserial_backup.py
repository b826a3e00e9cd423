#!/usr/bin/python3
"""The QTB backup as a user without dedizo would script it with pyserial.

    pyserial_backup.py PORT interbyte   read(2048) with timeout=1.0, inter_byte_timeout=0.05
    pyserial_backup.py PORT gaploop     a hand-made loop: read until 50 ms pass with nothing new

It sends the same 306 cursor keys and makes the same 306 receives as dedizo,
in the same order, parses the sixteen field paints of each channel the same
way and writes QTB.CFG in the current directory, so that the benchmark can
check it walked the menus in step. It is deliberately plain: this is the
script the benchmark compares dedizo with, not a second implementation to
maintain.
"""
import sys
import time

import serial

RIGHT, LEFT, UP, DOWN = b"\x1b[C", b"\x1b[D", b"\x1b[A", b"\x1b[B"
GAP = 0.05   # the line quiet this long after a byte: the reply is complete
WAIT = 1.0   # nothing within this long: no reply

FIELDS = [("Channel Type", 2), ("BitEncoding", 2), ("BitOrder", 2), ("Sync Length", 2),
          ("Sync Pattern", 2), ("Strip Sync", 2), ("Frame Length", 2),
          ("Strip/Insert Bit", 2), ("Clock Source", 2), ("Sync Speed", 2),
          ("Idle State", 2), ("Checksum Mode", 2), ("Async Baudrate", 2),
          ("Signal Polarity DCE", 9), ("Signal Polarity DTE", 10), ("Channel Mode", 2)]


# On Linux pyserial hands the inter-byte time-out to the terminal's VTIME,
# which counts tenths of a second: 0.05 s becomes 0, that is none, and
# read(2048) then runs to its 1 s time-out every time. That is what a user of
# this way gets, so the benchmark measures it as it is.
def open_interbyte(port):
    return serial.Serial(port, 9600, timeout=WAIT, inter_byte_timeout=GAP)


def receive_interbyte(ser):
    return ser.read(2048)


def open_gaploop(port):
    return serial.Serial(port, 9600, timeout=GAP)


def receive_gaploop(ser):
    start = time.monotonic()
    data = bytearray()
    while True:
        chunk = ser.read(ser.in_waiting or 1)  # returns at once, on a byte, or after GAP
        if chunk:
            data += chunk
        elif data:
            return bytes(data)  # GAP of silence after the reply
        elif time.monotonic() - start >= WAIT:
            return b""


def field_line(reply, index):
    label, pieces = FIELDS[index]
    parts = [p for p in reply.split(b"\0")[0].split(b"\x1b") if p][1:1 + pieces]
    if not parts:
        return b"\r\n"
    got = parts[0][14:]
    if index > 0 and got != label.encode():
        sys.exit("Error when reading configuration, expecting " + label)
    values = [p[p.index(b"H") + 1:] if b"H" in p else p[7:] for p in parts[1:]]
    return got + b" = " + b"".join(values) + b"\r\n"


def main():
    port, mode = sys.argv[1], sys.argv[2]
    opener, receive = {"interbyte": (open_interbyte, receive_interbyte),
                       "gaploop": (open_gaploop, receive_gaploop)}[mode]
    ser = opener(port)

    def step(key):
        ser.write(key)
        return receive(ser)

    for _ in range(10):
        if not step(LEFT):
            sys.exit("Error, no communication with QTB.")
    for _ in range(10):
        step(DOWN)
    step(UP)
    if b"Privileged" in step(RIGHT):
        sys.exit("QTB is locked")
    for _ in range(10):
        step(DOWN)

    out = bytearray()
    for channel in range(1, 9):
        print("Retrieving channel %d configuration" % channel, flush=True)
        out += b"**************** CHANNEL %d CONFIGURATION ***************\r\n" % channel
        receive(ser)
        ser.write(RIGHT)
        for _ in range(16):
            receive(ser)
            ser.write(DOWN)
        out += field_line(receive(ser), 0)
        for index in range(1, 16):
            out += field_line(step(UP), index)
        step(LEFT)
        ser.write(UP)
        out += b"*" * 56 + b"\r\n\r\n"
    step(LEFT)
    step(LEFT)
    ser.close()
    with open("QTB.CFG", "wb") as f:
        f.write(out)
    print("File QTB.CFG created")


if __name__ == "__main__":
    main()
