#!/usr/bin/env python3
"""Checks the ad hoc code signature of a thin 64-bit Mach-O file: the
embedded signature must hold a CodeDirectory whose page hashes match the
file, so macOS will accept the code. Prints the identifier and page count."""
import hashlib
import struct
import sys

LC_CODE_SIGNATURE = 0x1D
SUPERBLOB_MAGIC = 0xFADE0CC0
CODEDIRECTORY_MAGIC = 0xFADE0C02
HASH_TYPES = {1: hashlib.sha1, 2: hashlib.sha256}


def signature_location(data):
    magic, _cpu, _sub, _filetype, ncmds, _size, _flags, _reserved = struct.unpack_from("<IiiIIIII", data, 0)
    if magic != 0xFEEDFACF:
        sys.exit("not a thin 64-bit little-endian Mach-O file")
    offset = 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<II", data, offset)
        if cmd == LC_CODE_SIGNATURE:
            return struct.unpack_from("<II", data, offset + 8)
        offset += cmdsize
    sys.exit("no LC_CODE_SIGNATURE")


def code_directory(data, start):
    magic, _length, count = struct.unpack_from(">III", data, start)
    if magic != SUPERBLOB_MAGIC:
        sys.exit("signature is not an embedded signature superblob")
    for index in range(count):
        _slot, blob_offset = struct.unpack_from(">II", data, start + 12 + 8 * index)
        if struct.unpack_from(">I", data, start + blob_offset)[0] == CODEDIRECTORY_MAGIC:
            return start + blob_offset
    sys.exit("no CodeDirectory in the signature")


def main(path):
    data = open(path, "rb").read()
    signature_offset, _signature_size = signature_location(data)
    directory = code_directory(data, signature_offset)
    (_magic, _length, _version, flags, hash_offset, ident_offset, _special, code_slots, code_limit,
     hash_size, hash_type, _platform, page_shift) = struct.unpack_from(">IIIIIIIIIBBBB", data, directory)
    if not flags & 0x2:
        sys.exit("the CodeDirectory is not marked ad hoc")
    if hash_type not in HASH_TYPES:
        sys.exit(f"unknown hash type {hash_type}")
    if code_limit != signature_offset:
        sys.exit(f"signature covers {code_limit} bytes, code ends at {signature_offset}")
    page = 1 << page_shift
    for slot in range(code_slots):
        chunk = data[slot * page:min((slot + 1) * page, code_limit)]
        expected = data[directory + hash_offset + slot * hash_size:directory + hash_offset + (slot + 1) * hash_size]
        if HASH_TYPES[hash_type](chunk).digest()[:hash_size] != expected:
            sys.exit(f"page {slot} does not match its hash")
    identifier = data[directory + ident_offset:data.index(b"\0", directory + ident_offset)].decode()
    print(f"signature: ad hoc CodeDirectory '{identifier}', {code_slots} pages of {page} bytes, all hashes match")


if __name__ == "__main__":
    main(sys.argv[1])
