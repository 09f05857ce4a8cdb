#!/usr/bin/env python3
"""Checks the message table of each repohost.exe given on the command line: one
RT_MESSAGETABLE resource, id 1, language 1033, with the one 8-bit message 0x40000001 "%1\\r\\n"."""
import struct
import sys

RT_MESSAGETABLE = 11


def resources(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            vsize, vaddr, rsize, raw = struct.unpack_from("<8xIIII", data, table + 40 * i)
            if vaddr <= rva < vaddr + max(vsize, rsize):
                return rva - vaddr + raw
        raise ValueError("rva %#x outside every section" % rva)

    base = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, base + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    found = []
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for language, leaf in entries(name_dir & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found.append((type_id, name_id, language, data[offset(rva):offset(rva) + size]))
    return found


def check(path):
    with open(path, "rb") as f:
        found = [r for r in resources(f.read()) if r[0] == RT_MESSAGETABLE]
    assert [(r[1], r[2]) for r in found] == [(1, 1033)], "message tables: %r" % found
    table = found[0][3]
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
