#!/usr/bin/env python3
"""Checks the message table of each repohost.exe given on the command line: one
RT_MESSAGETABLE resource, id 1, language 1033, with the one 8-bit message 0x40000001 "%1\\r\\n"."""
import struct
import sys

import peresources


def check(path):
    _, found = peresources.load(path)
    tables = peresources.of_type(found, peresources.RT_MESSAGETABLE)
    assert list(tables) == [(1, 1033)], "message tables: %r" % list(tables)
    table = tables[(1, 1033)]
    blocks = struct.unpack_from("<I", table, 0)[0]
    assert blocks == 1, "%d blocks" % blocks
    low, high, entry = struct.unpack_from("<III", table, 4)
    assert (low, high) == (0x40000001, 0x40000001), "ids %#x..%#x" % (low, high)
    length, flags = struct.unpack_from("<HH", table, entry)
    assert flags == 0, "not an 8-bit text (flags %#x)" % flags
    text = table[entry + 4:entry + length].rstrip(b"\0")
    assert text == b"%1\r\n", "text %r" % text
    print("%s: message 0x40000001 %r" % (path, text))


if __name__ == "__main__":
    for exe in sys.argv[1:]:
        check(exe)
