#!/usr/bin/python3
"""A device image as readers we did not write see it: llvm-readobj, llvm-cvtres and pefile.

check_image.py --image EXE --program ELF --res RES --imports LIST --writer IMAGEWRITER
               --named-res RES --golden DIR --exports INC [--calls NAME,...] [unittest arguments]
--calls names the routines the program imports (default: the update's). --exports is the list of
what the core library of Windows CE 4.20 exports. With UPDATE_GOLDEN=1 in the environment the
golden files are rewritten instead of compared.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

import pefile

ARGS = None
IMAGE_BASE = 0x10000
# The calls the program makes, in the address table's order (by name): the update's unless
# --calls says otherwise.
PLATFORM_CALLS = ["KernelIoControl", "LoadStringW", "MessageBoxW", "RegCloseKey", "RegOpenKeyExW",
                  "RegSetValueExW", "memset"]
SCN = {name: value for name, value in pefile.SECTION_CHARACTERISTICS.items() if isinstance(name, str)}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def readobj(path, flag, drop=()):
    """llvm-readobj's dump, without the file's name, the time stamp SOURCE_DATE_EPOCH sets and the
    fields named in `drop`."""
    lines = []
    for line in run("llvm-readobj", flag, path).splitlines():
        field = line.strip().split(":")[0]
        if field in ("File",) + tuple(drop):
            continue
        lines.append(re.sub(r"TimeDateStamp: .*", "TimeDateStamp: (SOURCE_DATE_EPOCH)", line))
    return "\n".join(lines) + "\n"


def import_list():
    """The import list's routines and ordinals."""
    ordinals = {}
    with open(ARGS.imports, encoding="ascii") as lines:
        for line in lines:
            words = line.split("#")[0].split()
            if len(words) == 2 and words[0] != "library":
                ordinals[words[0]] = int(words[1])
    return ordinals


def elf_symbols():
    """Defined symbols of the linked program: name -> address."""
    symbols = {}
    for line in run("llvm-nm", "--defined-only", ARGS.program).splitlines():
        address, _, name = line.split()
        symbols[name] = int(address, 16)
    return symbols


def elf_sections(program=None):
    """The linked program's loaded sections: (name, address, size, type)."""
    sections = []
    for line in run("llvm-readelf", "--sections", "--wide", program or ARGS.program).splitlines():
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+(\S+)\s+([0-9a-f]{8}) [0-9a-f]+ ([0-9a-f]+) \S+\s+(\S*)", line)
        if match and "A" in match.group(5):
            sections.append((match.group(1), int(match.group(3), 16), int(match.group(4), 16), match.group(2)))
    return sections


class GoldenTestCase(unittest.TestCase):
    maxDiff = None

    def assertMatchesGolden(self, text, name):
        path = os.path.join(ARGS.golden, name)
        if os.environ.get("UPDATE_GOLDEN") == "1":
            with open(path, "w", encoding="utf-8") as golden:
                golden.write(text)
            return
        with open(path, encoding="utf-8") as golden:
            self.assertEqual(golden.read(), text, f"{name} differs (UPDATE_GOLDEN=1 rewrites it)")


class TheHeaders(GoldenTestCase):
    def test_llvm_readobj_dumps_match_the_golden_files(self):
        for flag, golden in [("--file-headers", "file-headers.txt"), ("--sections", "sections.txt"),
                             ("--coff-imports", "imports.txt")]:
            with self.subTest(flag):
                self.assertMatchesGolden(readobj(ARGS.image, flag), golden)

    def test_fields_the_loader_checks_have_the_values_it_needs(self):
        pe = pefile.PE(ARGS.image)
        header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
        com = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]]
        cases = [
            ("DOS header", (pe.DOS_HEADER.e_magic, pe.DOS_HEADER.e_lfanew >= 64), (0x5A4D, True)),
            ("machine", header.Machine, 0x01C0),
            ("executable, relocations stripped, not a DLL", header.Characteristics, 0x0103),
            ("optional header size", header.SizeOfOptionalHeader, 0xE0),
            ("data directories", optional.NumberOfRvaAndSizes, 16),
            ("section table after the fixed 248 bytes",
             pe.sections[0].get_file_offset(), pe.DOS_HEADER.e_lfanew + 248),
            ("subsystem", optional.Subsystem, 9),
            ("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), (4, 20)),
            ("OS version",
             (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion), (4, 20)),
            ("image base", optional.ImageBase, IMAGE_BASE),
            ("alignments", (optional.SectionAlignment, optional.FileAlignment), (0x1000, 0x200)),
            ("stack reserve", optional.SizeOfStackReserve, 0x10000),
            ("COM directory", (com.VirtualAddress, com.Size), (0, 0)),
            ("checksum", optional.CheckSum, pe.generate_checksum()),
            ("entry point", IMAGE_BASE + optional.AddressOfEntryPoint, elf_symbols()["WinMain"]),
            ("headers in one block", optional.SizeOfHeaders, 0x200),
        ]
        for field, actual, expected in cases:
            with self.subTest(field):
                self.assertEqual(actual, expected)

    def test_each_section_has_the_characteristics_its_contents_need(self):
        read, write = SCN["IMAGE_SCN_MEM_READ"], SCN["IMAGE_SCN_MEM_WRITE"]
        expected = {
            ".text": SCN["IMAGE_SCN_CNT_CODE"] | SCN["IMAGE_SCN_MEM_EXECUTE"] | read,
            ".data": SCN["IMAGE_SCN_CNT_INITIALIZED_DATA"] | read | write,
            ".bss": SCN["IMAGE_SCN_CNT_UNINITIALIZED_DATA"] | read | write,
            ".rsrc": SCN["IMAGE_SCN_CNT_INITIALIZED_DATA"] | read,
        }
        sections = {s.Name.rstrip(b"\0").decode(): s for s in pefile.PE(ARGS.image).sections}
        self.assertEqual(list(sections), list(expected))
        for name, characteristics in expected.items():
            with self.subTest(name):
                self.assertEqual(sections[name].Characteristics, characteristics)
        bss = sections[".bss"]
        self.assertEqual((bss.SizeOfRawData, bss.PointerToRawData), (0, 0), "no file space")
        self.assertEqual(bss.Misc_VirtualSize, dict((s[0], s[2]) for s in elf_sections())[".bss"])


class TheImports(unittest.TestCase):
    def test_coredll_routines_are_imported_by_name_with_their_ordinals_as_hints(self):
        pe = pefile.PE(ARGS.image)
        self.assertEqual([entry.dll for entry in pe.DIRECTORY_ENTRY_IMPORT], [b"COREDLL.dll"])
        coredll = pe.DIRECTORY_ENTRY_IMPORT[0]
        self.assertNotEqual(coredll.struct.OriginalFirstThunk, 0, "the loader walks the lookup table")
        imported = [(i.name.decode(), i.hint, i.import_by_ordinal) for i in coredll.imports]
        ordinals = import_list()
        self.assertEqual(imported, [(name, ordinals[name], False) for name in PLATFORM_CALLS])

    def test_every_routine_is_one_the_4_20_core_library_exports_under_that_ordinal(self):
        exported = {}
        with open(ARGS.exports, encoding="ascii") as lines:
            for line in lines:
                words = line.split()
                if len(words) == 2 and words[0].isdigit():
                    exported[words[1]] = int(words[0])
        coredll = pefile.PE(ARGS.image).DIRECTORY_ENTRY_IMPORT[0]
        for entry in coredll.imports:
            with self.subTest(entry.name.decode()):
                self.assertEqual(exported.get(entry.name.decode()), entry.hint)

    def test_address_table_is_where_the_thunks_load_from_writable_and_a_copy_of_the_lookup_table(self):
        pe = pefile.PE(ARGS.image)
        coredll = pe.DIRECTORY_ENTRY_IMPORT[0].struct
        iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]]
        self.assertEqual(iat.VirtualAddress, coredll.FirstThunk)
        self.assertEqual(IMAGE_BASE + iat.VirtualAddress, elf_symbols()["__imp_" + PLATFORM_CALLS[0]])
        self.assertTrue(pe.get_section_by_rva(iat.VirtualAddress).Characteristics & SCN["IMAGE_SCN_MEM_WRITE"])
        self.assertEqual(iat.Size, 4 * (len(PLATFORM_CALLS) + 1))
        self.assertEqual(pe.get_data(coredll.FirstThunk, iat.Size), pe.get_data(coredll.OriginalFirstThunk, iat.Size))


def resource_dump(path):
    return readobj(path, "--coff-resources", drop=("Format", "Arch", "Base Table Address", "DataRVA"))


class TheResources(GoldenTestCase):
    def assertResourcesAreThoseOf(self, image, res):
        """The tree and data llvm-readobj reads in `image` are those llvm-cvtres makes of `res`."""
        with tempfile.TemporaryDirectory() as folder:
            converted = os.path.join(folder, "resources.obj")
            run("llvm-cvtres", "/machine:ARM", f"/out:{converted}", "--", res)  # paths are not options
            self.assertEqual(resource_dump(converted), resource_dump(image))

    def test_tree_and_data_are_those_llvm_cvtres_makes_of_the_res_file(self):
        self.assertResourcesAreThoseOf(ARGS.image, ARGS.res)

    def test_named_entries_come_first_ordered_without_case_then_numbered_ones_ascending(self):
        with tempfile.TemporaryDirectory() as folder:
            image = os.path.join(folder, "named.exe")
            run(ARGS.writer, "--elf", ARGS.program, "--res", ARGS.named_res, "--imports", ARGS.imports,
                "--output", image)
            self.assertResourcesAreThoseOf(image, ARGS.named_res)

    def test_string_tables_hold_the_five_texts_in_their_languages(self):
        pe = pefile.PE(ARGS.image)
        lines = []
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id != pefile.RESOURCE_TYPE["RT_STRING"]:
                continue
            for block in kind.directory.entries:
                for language in block.directory.entries:
                    for string_id, text in block.directory.strings.items():
                        lines.append(f"{string_id} language {language.data.lang:#04x}/{language.data.sublang:#04x}: {text}")
        self.assertMatchesGolden("\n".join(lines) + "\n", "strings.txt")

    def test_version_block_has_every_field_and_key_in_order(self):
        pe = pefile.PE(ARGS.image)
        fixed = pe.VS_FIXEDFILEINFO[0]
        lines = [f"{pe.VS_VERSIONINFO[0].Key.decode()}"]
        lines += [f"  {field} = {getattr(fixed, field):#x}" for field, *_ in fixed.__keys__]
        for block in pe.FileInfo[0]:
            lines.append(f"  {block.Key.decode()}")
            for table in getattr(block, "StringTable", []):
                lines.append(f"    {table.LangID.decode()}")
                lines += [f"      {key.decode()} = \"{value.decode()}\"" for key, value in table.entries.items()]
            for var in getattr(block, "Var", []):
                lines += [f"    {key.decode()} = {value}" for key, value in var.entry.items()]
        self.assertMatchesGolden("\n".join(lines) + "\n", "version.txt")


class TheProgram(unittest.TestCase):
    def test_each_section_holds_the_linked_bytes_at_the_linked_address(self):
        pe = pefile.PE(ARGS.image)
        iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]]
        with tempfile.TemporaryDirectory() as folder:
            for name, address, size, kind in elf_sections():
                with self.subTest(name):
                    section = pe.get_section_by_rva(address - IMAGE_BASE)
                    self.assertEqual(section.Name.rstrip(b"\0").decode(), name)
                    self.assertEqual(section.VirtualAddress, address - IMAGE_BASE)
                    if kind == "NOBITS":
                        continue
                    dump = os.path.join(folder, name)
                    run("llvm-objcopy", "--dump-section", f"{name}={dump}", ARGS.program, dump + ".elf")
                    with open(dump, "rb") as linked:
                        expected = bytearray(linked.read())
                    # The address table's words are the writer's: the lookup table's copy.
                    table = iat.VirtualAddress - (address - IMAGE_BASE)
                    if 0 <= table < size:
                        expected[table:table + iat.Size] = pe.get_data(iat.VirtualAddress, iat.Size)
                    self.assertEqual(section.get_data()[:size], bytes(expected))


class TheSymbols(unittest.TestCase):
    """The ELF file beside the image: what a debugger loads and cesim --image finds."""

    def test_the_file_beside_the_image_is_the_linked_program(self):
        with open(ARGS.symbols, "rb") as beside, open(ARGS.program, "rb") as linked:
            self.assertEqual(beside.read(), linked.read())

    def test_every_function_of_the_update_starts_on_a_row_of_the_line_table(self):
        # The import thunks have none: a debugger steps over them as over any routine without source.
        rows = {}
        for line in run("llvm-dwarfdump", "--debug-line", ARGS.symbols).splitlines():
            words = line.split()
            if words and words[0].startswith("0x0000") and "end_sequence" not in words:
                rows[int(words[0], 16)] = int(words[1])
        text = next(section for section in elf_sections(ARGS.symbols) if section[0] == ".text")
        self.assertTrue(rows)
        for address in rows:
            self.assertTrue(text[1] <= address < text[1] + text[2], hex(address))
        functions = [line.split() for line in run("llvm-readelf", "--symbols", ARGS.symbols).splitlines()
                     if " FUNC " in line]
        self.assertTrue(functions)
        for words in functions:
            with self.subTest(words[7]):
                self.assertEqual(rows.get(int(words[1], 16), 0) > 0, words[7] not in PLATFORM_CALLS)

    def test_the_image_holds_no_debug_data(self):
        pe = pefile.PE(ARGS.image)
        self.assertEqual([section.Name.rstrip(b"\0") for section in pe.sections],
                         [b".text", b".data", b".bss", b".rsrc"])
        debug = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]]
        self.assertEqual((debug.VirtualAddress, debug.Size), (0, 0))
        with open(ARGS.image, "rb") as image:
            self.assertNotIn(b".debug", image.read())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("image", "program", "symbols", "res", "imports", "writer", "named-res", "golden",
                   "exports"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--calls")
    ARGS, rest = parser.parse_known_args()
    if ARGS.calls:
        PLATFORM_CALLS[:] = ARGS.calls.split(",")
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
