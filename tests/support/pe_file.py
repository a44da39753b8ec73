#!/usr/bin/env python3
"""What a Windows program or library holds, read from its file without running it: the machine
it is for, its sections, its symbol table, whether it exports anything, and its resources.

  pe_file.py machine DIR i686|x86_64
      every .exe and .dll in DIR is for that machine
  pe_file.py same-resources FILE OTHER
      the two files hold the same resources (type, name, language and bytes)

Exits 0 when the check holds, 1 (with what differs) when it does not. The suite runs these
checks on every machine, also where the programs of a build cannot run."""
import struct
import sys
from pathlib import Path

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
EXPORT_DIRECTORY, RESOURCE_DIRECTORY = 0, 2


class PeFile:
    def __init__(self, path):
        self.path = Path(path)
        self.data = data = self.path.read_bytes()
        if data[:2] != b"MZ":
            raise ValueError(f"{self.path.name} is not a Windows program (no MZ header)")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{self.path.name} is not a Windows program (no PE header)")
        self.machine, count = self.u16(pe + 4), self.u16(pe + 6)
        self.symbols_at, self.symbols = self.u32(pe + 12), self.u32(pe + 16)
        optional = pe + 24
        # The data directories follow the optional header's fixed part: 96 bytes in PE32, 112 in PE32+.
        directories = optional + (112 if self.u16(optional) == 0x20B else 96)
        self.directories = [(self.u32(directories + 8 * i), self.u32(directories + 8 * i + 4))
                            for i in range(self.u32(directories - 4))]
        table = optional + self.u16(pe + 20)
        self.sections = [self.section(table + 40 * i) for i in range(count)]

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def section(self, at):
        name = self.data[at:at + 8].rstrip(b"\0")
        if name.startswith(b"/"):  # a long name (".debug_info"): "/offset" into the string table
            start = self.symbols_at + 18 * self.symbols + int(name[1:])
            name = self.data[start:self.data.index(b"\0", start)]
        size, address, raw_size, raw_at = struct.unpack_from("<IIII", self.data, at + 8)
        return {"name": name.decode("latin-1"), "address": address, "size": max(size, raw_size), "at": raw_at}

    def offset(self, rva):
        for s in self.sections:
            if s["address"] <= rva < s["address"] + s["size"]:
                return rva - s["address"] + s["at"]
        raise ValueError(f"{self.path.name}: address {rva:#x} lies in no section")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_names(self):
        return [s["name"] for s in self.sections]

    def exports(self):
        return self.directory(EXPORT_DIRECTORY)[1] != 0

    def resources(self):
        """{(type, name, language): bytes}; a type or name is a number or a string."""
        rva, size = self.directory(RESOURCE_DIRECTORY)
        found = {}
        if size:
            self.walk(self.offset(rva), self.offset(rva), (), found)
        return found

    def walk(self, root, at, path, found):
        named, numbered = self.u16(at + 12), self.u16(at + 14)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            if name & 0x80000000:
                start = root + (name & 0x7FFFFFFF)
                name = self.data[start + 2:start + 2 + 2 * self.u16(start)].decode("utf-16-le")
            if target & 0x80000000:
                self.walk(root, root + (target & 0x7FFFFFFF), path + (name,), found)
            else:
                data_rva, data_size = struct.unpack_from("<II", self.data, root + target)
                begin = self.offset(data_rva)
                found[path + (name,)] = self.data[begin:begin + data_size]


def check_machine(folder, build):
    problems = []
    programs = sorted(p for p in Path(folder).iterdir() if p.suffix.lower() in (".exe", ".dll"))
    if not programs:
        problems.append(f"{folder} holds no program")
    for program in programs:
        machine = PeFile(program).machine
        if machine != MACHINES[build]:
            problems.append(f"{program.name} is for machine {machine:#x}, not {build} ({MACHINES[build]:#x})")
    return problems, f"{len(programs)} programs for {build}"


def check_same_resources(path, other):
    mine, theirs = PeFile(path).resources(), PeFile(other).resources()
    problems = [f"{path} lacks the resource {key}" for key in sorted(theirs.keys() - mine.keys(), key=str)]
    problems += [f"{path} has a resource {key} that {other} lacks" for key in sorted(mine.keys() - theirs.keys(), key=str)]
    problems += [f"{path}: resource {key} differs from {other}'s" for key in sorted(mine.keys() & theirs.keys(), key=str)
                 if mine[key] != theirs[key]]
    if not mine:
        problems.append(f"{path} holds no resources")
    return problems, f"{len(mine)} resources the same"


def main(argv):
    checks = {"machine": check_machine, "same-resources": check_same_resources}
    if len(argv) != 4 or argv[1] not in checks:
        print(__doc__, file=sys.stderr)
        return 2
    problems, summary = checks[argv[1]](argv[2], argv[3])
    for problem in problems:
        print(f"FAIL: {problem}")
    if not problems:
        print(f"PASS: {summary}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
