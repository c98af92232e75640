#!/usr/bin/env python3
"""What a user might script instead of the console, with Python 3's standard
library only: identify the board, load a sample through the cache from unit 0,
then send a data file through stop, wp reset, stream data and start. Every
frame waits for its reply, as the board requires.

    script_client.py SAMPLE DATA        (the port is named by YM2608_COM3)

Exit status 0 when every frame was confirmed, 1 otherwise.
"""

import os
import sys
import termios
import tty

OP_STOP = 0x00
OP_WP_RESET = 0x01
OP_STREAM_DATA = 0x02
OP_START = 0x03
OP_CACHE_WRITE = 0x09
OP_CACHE_COMMIT = 0x0A
OP_IDENTIFY = 0x10
STATUS_OK = 0x01

CHUNK = 60
PAGE = 8192
GRANULE = 512
UNIT = 32


class BoardError(Exception):
    pass


def exchange(fd, frame, reply_length=1):
    os.write(fd, frame)
    reply = b""
    while len(reply) < reply_length:
        got = os.read(fd, reply_length - len(reply))
        if not got:
            raise BoardError("the board hung up")
        reply += got
    return reply


def confirm(fd, frame):
    if exchange(fd, frame) != bytes([STATUS_OK]):
        raise BoardError("frame 0x%02x not confirmed" % frame[0])


def load_sample(fd, sample):
    sent, page_fill, dest = 0, 0, 0
    while sent < len(sample):
        room = PAGE - page_fill
        remaining = len(sample) - sent
        chunk = CHUNK
        ends_page = room <= CHUNK or remaining <= CHUNK
        if ends_page:
            chunk = min(room, remaining)
        confirm(fd, bytes([OP_CACHE_WRITE, chunk, page_fill & 0xFF, page_fill >> 8])
                + sample[sent:sent + chunk])
        if ends_page:
            size = (page_fill + chunk + GRANULE - 1) // GRANULE * GRANULE
            confirm(fd, bytes([OP_CACHE_COMMIT, size & 0xFF, size >> 8, dest & 0xFF, dest >> 8]))
            dest += size // UNIT
            page_fill = 0
        else:
            page_fill += chunk
        sent += chunk


def transfer(fd, data):
    confirm(fd, bytes([OP_STOP]))
    confirm(fd, bytes([OP_WP_RESET]))
    for offset in range(0, len(data), CHUNK):
        confirm(fd, bytes([OP_STREAM_DATA]) + data[offset:offset + CHUNK])
    confirm(fd, bytes([OP_START, 0x02]))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: script_client.py SAMPLE DATA (port in YM2608_COM3)")
    with open(sys.argv[1], "rb") as f:
        sample = f.read(8192 * UNIT)
    with open(sys.argv[2], "rb") as f:
        data = f.read()
    data = data[:min(len(data) - 64, 32704)]

    fd = os.open(os.environ["YM2608_COM3"], os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIFLUSH)
        if exchange(fd, bytes([OP_IDENTIFY]), 4) != b"2608":
            raise BoardError("not a YM2608 board")
        load_sample(fd, sample)
        transfer(fd, data)
        termios.tcdrain(fd)
    except (BoardError, OSError) as e:
        sys.exit("script_client.py: %s" % e)
    finally:
        os.close(fd)


if __name__ == "__main__":
    main()
