#!/usr/bin/python3
"""The image writer run as the build runs it: each bad input is refused with one line on standard
error, naming the file and the problem, and no output file (whole or partial) is left behind.

test_writer.py --writer IMAGEWRITER --program ELF --res RES --imports LIST --object OBJ
               --built DIR [unittest arguments]
DIR holds the programs tests/image/CMakeLists.txt links in ways the writer must refuse.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

ARGS = None


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb" if isinstance(data, bytes) else "w") as file:
        file.write(data)
    return path


def read(path):
    with open(path, "rb") as file:
        return file.read()


def folder_in(folder, name):
    path = os.path.join(folder, name)
    os.mkdir(path)
    return path


def built(name):
    return os.path.join(ARGS.built, name + ".elf")


def first_resource(res):
    """The bytes of the first entry after the empty one that opens a .res file, and its type,
    name and language (llvm-rc gives them as ordinals)."""
    data_size, header_size = struct.unpack_from("<II", res, 32)
    marker, kind, marker2, name = struct.unpack_from("<HHHH", res, 40)
    assert marker == marker2 == 0xFFFF
    (language,) = struct.unpack_from("<H", res, 32 + header_size - 10)
    return res[32:32 + (header_size + data_size + 3) // 4 * 4], kind, name, language


def truncated_program(folder):
    program = read(ARGS.program)
    (table,) = struct.unpack_from("<I", program, 0x20)
    return ({"elf": write(folder, "truncated.elf", program[:table + 20])},
            f"truncated: the section header at offset {table} runs past the end of the file")


def section_name_outside_its_table(folder):
    program = bytearray(read(ARGS.program))
    (table,) = struct.unpack_from("<I", program, 0x20)
    (names,) = struct.unpack_from("<H", program, 0x32)
    struct.pack_into("<I", program, table + 40, 0xFFFFFF00)  # section 1, the first of the program
    return ({"elf": write(folder, "names.elf", bytes(program))},
            f"a name at offset {0xFFFFFF00} of string table section {names} cannot be read")


def stripped_program(folder):
    path = os.path.join(folder, "stripped.elf")
    subprocess.run(["llvm-objcopy", "--strip-all", ARGS.program, path], check=True)
    return {"elf": path}, "has no symbol table; keep it when linking"


def import_list_without(routine):
    def make(folder):
        lines = [line for line in read(ARGS.imports).decode().splitlines() if not line.startswith(routine + " ")]
        return {"imports": write(folder, "imports", "\n".join(lines))}, None
    return make


def resource_twice(folder):
    res = read(ARGS.res)
    entry, kind, name, language = first_resource(res)
    return ({"res": write(folder, "twice.res", res + entry)},
            f"resource type {kind}, name {name}, language {language:#x} appears twice")


# (case, inputs and environment to change, message after "imagewriter: <file>: ", file named).
# A message of None is given by the case itself.
CASES = [
    ("an ELF file for another machine", lambda f: ({"elf": ARGS.writer}, None),
     "built for machine 62, not ARM", "elf"),
    ("a file that is not ELF", lambda f: ({"elf": ARGS.res}, None), "not an ELF file", "elf"),
    ("an object that is not linked", lambda f: ({"elf": ARGS.object}, None),
     "not a linked executable but a relocatable object", "elf"),
    ("a truncated ELF file", truncated_program, None, "elf"),
    ("a section name outside the name table", section_name_outside_its_table, None, "elf"),
    ("an ELF file without symbols", stripped_program, None, "elf"),
    ("a section below the image", lambda f: ({"elf": built("text_below_image")}, None),
     "section .text at 0x9000-0x9040 lies outside the image's range 0x11000-0x2000000", "elf"),
    ("a section off its page", lambda f: ({"elf": built("data_off_page")}, None),
     "section .data at 0x12010 does not start on a 0x1000 page", "elf"),
    ("an undefined symbol", lambda f: ({"elf": built("weak_reference")}, None),
     "undefined symbol Missing", "elf"),
    ("a relocation left unresolved", lambda f: ({"elf": built("weak_reference_relocs")}, None),
     "relocation type 29 at 0x11000 against undefined symbol Missing is left unresolved", "elf"),
    ("a compiler helper", lambda f: ({"elf": built("compiler_helper")}, None),
     "uses compiler helper __aeabi_uidiv, which the device's core library does not have", "elf"),
    ("an address table without its zero word", lambda f: ({"elf": built("unterminated_table")}, None),
     "the import address table at 0x12000 is not followed by a zero word", "elf"),
    ("no room for the import directory", lambda f: ({"elf": built("full_data_page")}, None),
     "the import directory after .data runs into .bss at 0x13000; leave room for it when linking", "elf"),
    ("an import the list does not know", import_list_without("memset"),
     "imports memset, which {imports} does not list", "elf"),
    ("a routine before the library in the import list",
     lambda f: ({"imports": write(f, "imports", "memset 1047\n")}, None),
     "expected \"library <file name>\" before the first routine", "imports:1"),
    ("an import list line without an ordinal",
     lambda f: ({"imports": write(f, "imports", "library COREDLL.dll\nmemset\n")}, None),
     "expected \"<routine> <ordinal>\"", "imports:2"),
    ("an ordinal out of range",
     lambda f: ({"imports": write(f, "imports", "library COREDLL.dll\nmemset 65536\n")}, None),
     "ordinal 65536 is not a number from 1 to 65535", "imports:2"),
    ("a truncated .res file", lambda f: ({"res": write(f, "truncated.res", read(ARGS.res)[:48])}, None),
     "truncated resource header at offset 40", "res"),
    ("a resource given twice", resource_twice, None, "res"),
    ("a missing input", lambda f: ({"res": os.path.join(f, "missing.res")}, None),
     "cannot read: No such file or directory", "res"),
    ("an output folder that does not exist", lambda f: ({"output": os.path.join(f, "missing", "x.exe")}, None),
     "cannot create a file beside it: No such file or directory", "output"),
    ("an output that is a folder", lambda f: ({"output": folder_in(f, "image.exe")}, None),
     "cannot write: a folder, not a regular file", "output"),
    ("a SOURCE_DATE_EPOCH that is not a number", lambda f: ({"SOURCE_DATE_EPOCH": "yesterday"}, None),
     "\"yesterday\" is not a count of seconds up to 4294967295", "SOURCE_DATE_EPOCH"),
]


def run_writer(folder, changes):
    files = {"elf": ARGS.program, "res": ARGS.res, "imports": ARGS.imports,
             "output": os.path.join(folder, "image.exe")}
    files.update({key: value for key, value in changes.items() if key in files})
    environment = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
    environment.update({key: value for key, value in changes.items() if key not in files})
    arguments = [ARGS.writer]
    for key in ("elf", "res", "imports", "output"):
        arguments += [f"--{key}", files[key]]
    result = subprocess.run(arguments, capture_output=True, text=True, env=environment)
    return result, files


class TheWriter(unittest.TestCase):
    def test_refuses_each_bad_input_in_one_line_naming_the_file_and_leaves_no_file(self):
        for name, make, message, named in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                changes, own_message = make(folder)
                before = sorted(os.listdir(folder))
                result, files = run_writer(folder, changes)
                file, _, line = named.partition(":")
                shown = files.get(file, file) + (":" + line if line else "")
                text = (own_message or message).replace("{imports}", files["imports"])
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, "", f"imagewriter: {shown}: {text}\n"))
                self.assertEqual(sorted(os.listdir(folder)), before, "files left behind")

    def test_refuses_a_command_line_it_cannot_use_in_one_line_naming_what_is_wrong(self):
        good = ["--elf", ARGS.program, "--res", ARGS.res, "--imports", ARGS.imports]
        # (arguments after --output, word the refusal must name)
        for extra, named in [([], "--output"), (["--output"], "--output"),
                             (["--output", ""], "--output"), (["--output", "o", "--bogus"], "--bogus"),
                             (["--output", "o", "--output", "p"], "--output"),
                             (["--output", "o", "loose"], "loose")]:
            with self.subTest(extra), tempfile.TemporaryDirectory() as folder:
                result = subprocess.run([ARGS.writer] + good + extra, capture_output=True, text=True,
                                        cwd=folder)  # an image written would be left in folder
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, r"\Aimagewriter: [^\n]*" + named +
                                 r"[^\n]*; see imagewriter --help\n\Z")
                self.assertEqual(os.listdir(folder), [], "files left behind")
        result = subprocess.run([ARGS.writer, "--help", "--bogus"], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(result.stdout.startswith("Usage: imagewriter --elf FILE"))

    def test_writes_the_time_stamp_from_source_date_epoch_and_replaces_an_older_file_whole(self):
        with tempfile.TemporaryDirectory() as folder:
            output = write(folder, "image.exe", b"an older image, longer than nothing")
            result, _ = run_writer(folder, {"output": output, "SOURCE_DATE_EPOCH": "1700000000"})
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
            self.assertEqual(os.listdir(folder), ["image.exe"])
            pe = pefile.PE(output)
            self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 1700000000)
            self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("writer", "program", "res", "imports", "object", "built"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
