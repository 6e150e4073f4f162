#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_locate into fuzz/corpus/locate/: small ELF and PE files of our
own, each at most 4096 bytes. fuzz_locate places a whole package block right after the first
4096 bytes of its input, so the seeds' package sections point there (file offset 0x1000)."""
import os
import struct

BLOCK_AT = 0x1000
BLOCK_SIZE = 0x100854
HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "locate")


def elf(is64, big, sections, extended=False, no_table=False):
    """sections: (name, type, offset, size); a null section and .shstrtab come first."""
    e = ">" if big else "<"
    names = b"\0.shstrtab\0"
    name_at = []
    for name, _, _, _ in sections:
        name_at.append(len(names))
        names += name.encode() + b"\0"
    header_size = 64 if is64 else 52
    names_at = header_size
    shoff = (names_at + len(names) + 7) & ~7
    entsize = 64 if is64 else 40
    table = [(0, 0, 0, 0), (1, 3, names_at, len(names))]
    table += [(n, t, o, s) for (n, (_, t, o, s)) in zip(name_at, sections)]
    count = len(table)
    body = b""
    for index, (name, kind, offset, size) in enumerate(table):
        if extended and index == 0:
            # Extended numbering: the real count and name table index sit in section 0.
            size, link = count, 1
        else:
            link = 0
        if is64:
            body += struct.pack(e + "IIQQQQIIQQ", name, kind, 0, 0, offset, size, link, 0, 1, 0)
        else:
            body += struct.pack(e + "IIIIIIIIII", name, kind, 0, 0, offset, size, link, 0, 1, 0)
    ident = b"\x7fELF" + bytes([2 if is64 else 1, 2 if big else 1, 1]) + bytes(9)
    shnum = 0 if extended else count
    shstrndx = 0xFFFF if extended else 1
    if no_table:
        shoff = 0
    if is64:
        header = ident + struct.pack(e + "HHIQQQIHHHHHH", 2, 62, 1, 0, 0, shoff, 0, 64, 56, 0,
                                     entsize, shnum, shstrndx)
    else:
        header = ident + struct.pack(e + "HHIIIIIHHHHHH", 2, 3, 1, 0, 0, shoff, 0, 52, 32, 0,
                                     entsize, shnum, shstrndx)
    data = header + names
    data += bytes(((names_at + len(names) + 7) & ~7) - len(data))
    return data + body


def pe(plus, sections, signed=False, checksum=0):
    """sections: (name, raw offset, raw size); names over 8 characters go to the string table."""
    pe_at = 0x40
    optional_size = 240 if plus else 224
    table_at = pe_at + 24 + optional_size
    strings = b""
    entries = b""
    for name, offset, size in sections:
        raw = name.encode()
        if len(raw) > 8:
            raw = ("/%d" % (4 + len(strings))).encode()
            strings += name.encode() + b"\0"
        entries += struct.pack("<8sIIIIIIHHI", raw, size, 0x1000, size, offset, 0, 0, 0, 0,
                               0x40000040)
    symbols_at = table_at + len(entries) if strings else 0
    coff = struct.pack("<HHIIIHH", 0x8664 if plus else 0x14C, len(sections), 0, symbols_at, 0,
                       optional_size, 0x22)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if plus else 0x10B)
    struct.pack_into("<I", optional, 64, checksum)
    directories = 112 if plus else 96
    struct.pack_into("<I", optional, directories - 4, 16)  # number of data directories
    if signed:
        struct.pack_into("<II", optional, directories + 4 * 8, 0x2000, 0x100)
    dos = bytearray(pe_at)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, pe_at)
    data = bytes(dos) + b"PE\0\0" + coff + bytes(optional) + entries
    if strings:
        data += struct.pack("<I", 4 + len(strings)) + strings
    return data


def main():
    os.makedirs(HERE, exist_ok=True)
    package = (".qvpkg", 1, BLOCK_AT, BLOCK_SIZE)
    text = (".text", 1, 0x200, 0x100)
    seeds = {
        "elf64-little.bin": elf(True, False, [text, package]),
        "elf64-big.bin": elf(True, True, [text, package]),
        "elf32-little.bin": elf(False, False, [text, package]),
        "elf32-big.bin": elf(False, True, [package]),
        "elf64-extended-numbering.bin": elf(True, False, [text, package], extended=True),
        "elf64-nobits.bin": elf(True, False, [(".qvpkg", 8, BLOCK_AT, BLOCK_SIZE)]),
        "elf64-two-packages.bin": elf(True, False, [package, package]),
        "elf64-no-section-table.bin": elf(True, False, [text], no_table=True),
        "pe32.bin": pe(False, [(".text", 0x200, 0x200), (".qvpkg", BLOCK_AT, BLOCK_SIZE)]),
        "pe32plus.bin": pe(True, [(".text", 0x200, 0x200), (".qvpkg", BLOCK_AT, BLOCK_SIZE)],
                           checksum=0x1234),
        "pe32plus-long-name.bin": pe(True, [(".qvpkg_data", 0x200, 0x200),
                                            (".qvpkg", BLOCK_AT, BLOCK_SIZE)]),
        "pe32-signed.bin": pe(False, [(".qvpkg", BLOCK_AT, BLOCK_SIZE)], signed=True,
                              checksum=1),
        "plain.bin": b"not an executable: the block is found by its markers\n",
    }
    for name, data in seeds.items():
        assert len(data) <= BLOCK_AT, name
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
