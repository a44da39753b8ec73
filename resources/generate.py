#!/usr/bin/env python3
"""Generates the resource scripts and the native text tables from the one catalogue.

catalogue.tsv (UTF-8) holds every text of the string table in both languages and
templates.rc.in the dialogs, menu, icon and version block. Outputs are Windows-1252,
which is what windres -c 1252 and the program's single-byte strings expect.

  generate.py rc <German|English> <out.rc> <icon path>
  generate.py native <out.cpp>
  generate.py icon <out.ico>
"""
import re
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
LANGUAGES = {"German": (0, "LANG_GERMAN, SUBLANG_GERMAN"), "English": (1, "LANG_ENGLISH, SUBLANG_ENGLISH_US")}


def read_catalogue():
    entries = []
    for number, line in enumerate((HERE / "catalogue.tsv").read_text(encoding="utf-8").splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3:
            sys.exit(f"catalogue.tsv:{number}: expected id, English and German")
        ident, english, german = int(fields[0]), fields[1], fields[2]
        entries.append((ident, english.replace("\\n", "\n"), german.replace("\\n", "\n")))
    idents = [e[0] for e in entries]
    if len(set(idents)) != len(idents):
        sys.exit("catalogue.tsv: duplicate id")
    return entries


def rc_string(text):
    out = []
    for ch in text:
        if ch == '"':
            out.append('""')
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "\n":
            out.append("\\n")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def c_string(data):
    out = []
    for byte in data:
        if byte in (0x22, 0x5C):
            out.append("\\" + chr(byte))
        elif 0x20 <= byte < 0x7F and byte != 0x3F:  # '?' escaped: no trigraphs
            out.append(chr(byte))
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def write_cp1252(path, text):
    Path(path).write_bytes(text.encode("cp1252"))


def generate_rc(language, out_path, icon_path):
    column, lang_statement = LANGUAGES[language]
    template = (HERE / "templates.rc.in").read_text(encoding="utf-8")
    template = re.sub(r"\{([^{}|]*)\|([^{}|]*)\}", lambda m: m.group(1 + column), template)
    template = template.replace("@LANGUAGE@", lang_statement)
    template = template.replace("@ICON@", str(icon_path).replace("\\", "/"))
    table = ["STRINGTABLE", "BEGIN"]
    for ident, english, german in read_catalogue():
        table.append(f"    {ident} {rc_string(english if column else german)}")
    table.append("END")
    header = "// Generated from catalogue.tsv and templates.rc.in; edit those, not this file.\n"
    write_cp1252(out_path, header + template + "\n" + "\n".join(table) + "\n")


def generate_native(out_path):
    lines = [
        "// Generated from catalogue.tsv; edit that, not this file.",
        '#include "app/CatalogueData.h"',
        "",
        "const CatalogueEntry kCatalogueEntries[] = {",
    ]
    entries = read_catalogue()
    for ident, english, german in entries:
        lines.append(f"    {{{ident}, {c_string(german.encode('cp1252'))},")
        lines.append(f"     {c_string(english.encode('cp1252'))}}},")
    lines += ["};", "", f"const unsigned kCatalogueEntryCount = {len(entries)};", ""]
    Path(out_path).write_text("\n".join(lines), encoding="ascii")


def icon_image(size):
    """A 32-bit DIB: dark blue square with a light 'T', opaque."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in range(size):  # bottom-up
        y = size - 1 - row
        for x in range(size):
            bar = y < size // 4 and size // 8 <= x < size - size // 8
            stem = y >= size // 8 and size * 3 // 8 <= x < size * 5 // 8 and y < size - size // 8
            border = x in (0, size - 1) or y in (0, size - 1)
            colour = (0xF0, 0xF0, 0xF0) if (bar or stem) else ((0x20, 0x20, 0x20) if border else (0x90, 0x40, 0x10))
            pixels += bytes(colour) + b"\xff"
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + bytes(pixels) + mask


def generate_icon(out_path):
    images = [(32, icon_image(32)), (16, icon_image(16))]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in images:
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    Path(out_path).write_bytes(data + b"".join(image for _, image in images))


def main(argv):
    if len(argv) == 5 and argv[1] == "rc":
        generate_rc(argv[2], argv[3], argv[4])
    elif len(argv) == 3 and argv[1] == "native":
        generate_native(argv[2])
    elif len(argv) == 3 and argv[1] == "icon":
        generate_icon(argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
