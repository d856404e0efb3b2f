#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into corpus/<harness>/.

The seeds are committed; run this again after changing it. Each seed is
small: a few well-formed inputs of the parser and a few near misses.
"""
import gzip
import io
import os
import struct
import sys
import tarfile
import warnings
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
MTIME = 1700000000  # fixed, so that the seeds do not change from run to run


def write(harness, name, data):
    directory = os.path.join(HERE, "corpus", harness)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def gz(data):
    return gzip.compress(data, mtime=0)


def tar(members, fmt=tarfile.USTAR_FORMAT):
    """members: (name, type, data or link target, mode)"""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=fmt) as archive:
        for name, kind, payload, mode in members:
            info = tarfile.TarInfo(name)
            info.type, info.mode, info.mtime = kind, mode, MTIME
            if kind == tarfile.REGTYPE:
                info.size = len(payload)
                archive.addfile(info, io.BytesIO(payload))
            else:
                if kind == tarfile.SYMTYPE:
                    info.linkname = payload
                archive.addfile(info)
    # The two end blocks, without the padding to a whole record.
    data = buffer.getvalue().rstrip(b"\0")
    return data + bytes(-len(data) % 512 + 1024)


def file(name, data=b"text\n", mode=0o644):
    return (name, tarfile.REGTYPE, data, mode)


def directory(name, mode=0o755):
    return (name, tarfile.DIRTYPE, b"", mode)


def base256_header():
    """A ustar header whose size field is in GNU's base-256 form."""
    block = bytearray(tar([file("big.bin", b"")])[:512])
    block[124:136] = b"\x80" + (600).to_bytes(11, "big")
    block[148:156] = b" " * 8
    block[148:156] = b"%06o\0 " % sum(block)
    return bytes(block)


def tar_seeds():
    long_name = "d" * 60 + "/" + "e" * 60 + "/file.txt"
    write("tar_header", "ustar", tar([file("a/b.txt")])[:512])
    write("tar_header", "prefix", tar([file(long_name)])[:512])
    write("tar_header", "directory", tar([directory("a/", 0o700)])[:512])
    write("tar_header", "base256", base256_header())
    pax = tar([file("p" * 150)], tarfile.PAX_FORMAT)
    write("tar_header", "pax", pax[:512] + pax[512:1024].rstrip(b"\0"))
    write("tar_header", "records", b"\0" * 512 + b"30 mtime=1700000000.25\n13 size=99\n")

    plain = [file("top.txt"), directory("dir/"), file("dir/inner.txt", b"x" * 700),
             file("win\\sub\\file.txt"), file("planted/escape.txt"), file("up/escape.txt"),
             file("../escape.txt"), ("link", tarfile.SYMTYPE, "/tmp", 0o777),
             directory("closed", 0), file("closed/below.txt", b"y", 0)]
    write("untgz", "plain.tar", b"\x00" + tar(plain))
    write("untgz", "read-first.tgz", b"\x55" + gz(tar(plain)))
    write("untgz", "test-run.tgz", b"\x46" + gz(tar(plain)))
    write("untgz", "rewind.tgz", b"\xa4" + gz(tar(plain)))
    write("untgz", "pax.tar", b"\x00" + tar([file("q" * 120 + "/long.txt"),
                                             file("planted/" + "r" * 110)], tarfile.PAX_FORMAT))
    write("untgz", "gnu.tar", b"\x02" + tar([file("s" * 130)], tarfile.GNU_FORMAT))
    cut = gz(tar(plain))
    write("untgz", "cut.tgz", b"\x00" + cut[:-6])

    modules = [file("LMX/Foo.pm", b"package LMX::Foo;\n1;\n"), directory("LMX/"),
               file("LMX/Bar.pm", b"package LMX::Bar;\n" + b"#" * 900 + b"\n1;\n")]
    write("archive_tar", "modules.tgz", b"\x00" + gz(tar(modules)))
    write("archive_tar", "whole-reads.tgz", b"\x55" + gz(tar(modules)))
    write("archive_tar", "pax.tar", b"\x01" + tar([file("m" * 120 + ".pm")], tarfile.PAX_FORMAT))
    write("archive_tar", "cut.tgz", b"\x03" + gz(tar(modules))[:-3])


def dump_seeds():
    seeds = {
        "array": b'ARRAY(""a"";;undef;;""12"")',
        "hash": b'HASH(""k"" => ""v"";;""n"" => undef)',
        "nested": b'REF(ARRAY(HASH(""x"" => SCALAR(""1""))))',
        "escapes": b'ARRAY(""a\\(b\\)\\;c\\"d"")',
        "broken": b'HASH(""k"" => ;;""j"")',
    }
    for name, text in seeds.items():
        write("dump_text", name, text)


def zip_archive(entries, **options):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", **options) as archive:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6))
            info.compress_type = method
            with archive.open(info, "w", force_zip64=name.endswith("64")) as out:
                out.write(data)
    return buffer.getvalue()


def zip_seeds():
    entries = [("a.txt", b"hello\n" * 20, zipfile.ZIP_STORED),
               ("dir/b.txt", b"compressed " * 100, zipfile.ZIP_DEFLATED),
               ("a.txt", b"second of the name", zipfile.ZIP_STORED),
               ("big64", b"z" * 300, zipfile.ZIP_DEFLATED)]
    archive = zip_archive(entries)
    write("zip", "archive.zip", b"\x00" + archive)
    write("zip", "whole.zip", b"\xff" + archive)
    write("zip", "sfx.zip", b"\x0f" + b"MZ" + b"\0" * 200 + archive)


def put16(b, at, v):
    b[at:at + 2] = struct.pack("<H", v)


def put32(b, at, v):
    b[at:at + 4] = struct.pack("<I", v)


def version_node(key, text=None, children=(), binary=b""):
    """A version-block node as resource compilers write it."""
    b = bytearray(6) + key.encode("utf-16-le") + b"\0\0"
    b += bytes(-len(b) % 4)
    if text is not None:
        b += text.encode("utf-16-le") + b"\0\0"
        put16(b, 2, len(text) + 1)
        put16(b, 4, 1)
    else:
        b += binary
        put16(b, 2, len(binary))
    for child in children:
        b += bytes(-len(b) % 4)
        b += child
    put16(b, 0, len(b))
    return bytes(b)


def version_block():
    table = version_node("040904B0", children=[version_node("ProductVersion", "1.2.3"),
                                              version_node("FileDescription", "tool")])
    return version_node("VS_VERSION_INFO", binary=bytes(52), children=[
        version_node("VarFileInfo"), version_node("StringFileInfo", children=[table])])


RESOURCE_VA = 0x2000


def resource_tree(block):
    """Type 16, name 1, language 0x409, its data entry, then the block."""
    t = bytearray(0x60)
    put16(t, 14, 1); put32(t, 16, 16); put32(t, 20, 0x80000018)
    put16(t, 0x18 + 14, 1); put32(t, 0x18 + 16, 1); put32(t, 0x18 + 20, 0x80000030)
    put16(t, 0x30 + 14, 1); put32(t, 0x30 + 16, 0x409); put32(t, 0x30 + 20, 0x48)
    put32(t, 0x48, RESOURCE_VA + 0x60); put32(t, 0x4C, len(block))
    return bytes(t) + block


def pe_image(tree, machine=0x8664):
    """A PE image with a code section and a resource section holding `tree`."""
    b = bytearray(0x80)
    b[0:2] = b"MZ"
    put32(b, 0x3C, 0x80)
    b += b"PE\0\0" + bytes(20)
    put16(b, 0x84, machine); put16(b, 0x86, 2); put16(b, 0x94, 240); put16(b, 0x96, 0x22)
    opt = 0x98
    b += bytes(240 + 80)
    put16(b, opt, 0x20B); put32(b, opt + 108, 16)
    put32(b, opt + 112 + 16, RESOURCE_VA); put32(b, opt + 112 + 20, len(tree))
    sections = opt + 240
    put32(b, sections + 8, 0x200); put32(b, sections + 12, 0x1000)
    put32(b, sections + 16, 0x200); put32(b, sections + 20, 0x200)
    put32(b, sections + 48, len(tree)); put32(b, sections + 52, RESOURCE_VA)
    put32(b, sections + 56, len(tree)); put32(b, sections + 60, 0x400)
    b += bytes(0x400 - len(b))
    return bytes(b) + tree


def elf_header():
    return (b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack("<HHI", 2, 62, 1) + bytes(40))


def magic_seeds():
    image = pe_image(resource_tree(version_block()))
    write("magic", "pe64", image[:0x400])
    write("magic", "pe32-dll", pe_image(b"", 0x14C)[:0x200])
    write("magic", "msdos", b"MZ" + bytes(62) + b"text\r\n")
    write("magic", "elf", elf_header())
    write("magic", "zip", b"PK\x03\x04" + bytes(26))
    write("magic", "text", b"line\r\nline\r\n\x1aafter")
    write("version", "pe64", image)
    write("version", "block", version_block())
    write("version", "tree", resource_tree(version_block()))


def registry_seeds():
    write("registry", "path", b"Software\\Vendor\\Product\\1.0")
    write("registry", "multi", b"first\0second\0\0")
    write("registry", "dword", b"\x2a\0\0\0")
    write("registry", "unicode", "Stra\u00dfe\\\u0130stanbul\\\u00e9t\u00e9".encode())
    write("registry", "bad-path", b"\\lead\\\\empty\\")


def main():
    warnings.simplefilter("ignore")  # the zip seeds hold a name twice on purpose
    for step in (tar_seeds, dump_seeds, zip_seeds, magic_seeds, registry_seeds):
        step()
    return 0


if __name__ == "__main__":
    sys.exit(main())
