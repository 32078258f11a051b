#!/usr/bin/python3
"""Refuses machine code that an ARMV4I device cannot run: Thumb code, and any ARM-state
instruction an ARMv4T core does not have (blx, clz, ldrd/strd, pld, bkpt, DSP multiplies, ARMv6
and ARMv7 instructions, VFP and other coprocessor instructions).

Each instruction is named from an ARMv7 disassembly and must be one of ARMv4T's. The same code
disassembled for ARMv4T must also decode: llvm-objdump prints <unknown> there for most newer
encodings, though it still decodes some (blx <label>, pld, bkpt, VFP and coprocessor
instructions), which the names catch. LLVM 14 cannot decode ARMv4T's multiplies for that core, so
for them the ARMv7 reading alone counts. Thumb code shows in its mapping symbols ($t).

check_armv4t.py --program ELF --allowed OBJ --refused OBJ --thumb OBJ [unittest arguments]
"""
import argparse
import bisect
import re
import subprocess
import sys
import unittest

ARGS = None
CONDITIONS = "eq ne cs hs cc lo mi pl vs vc hi ls ge lt gt le al".split()
# Instructions that may set the flags with an "s" suffix: data processing (and the shift aliases
# of mov) and multiplies.
WITH_FLAGS = ("and eor sub rsb add adc sbc rsc orr mov bic mvn lsl lsr asr ror rrx "
              "mul mla umull umlal smull smlal").split()
WITHOUT_FLAGS = ("tst teq cmp cmn ldr str ldrb strb ldrt strt ldrbt strbt ldrh strh ldrsb ldrsh "
                 "ldm ldmib ldmda ldmdb stm stmib stmda stmdb push pop swp swpb b bl bx "
                 "mrs msr svc").split()


def with_suffixes(bases):
    mnemonics = set()
    for base in bases:
        forms = [base, base + "s"] if base in WITH_FLAGS else [base]
        mnemonics.update(form + condition for form in forms for condition in [""] + CONDITIONS)
    return mnemonics


ARMV4T = with_suffixes(WITH_FLAGS + WITHOUT_FLAGS)
MULTIPLIES = with_suffixes("mul mla umull umlal smull smlal".split())


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def disassemble(path, triple):
    """Address -> (mnemonic, operands) of each instruction and data word in `path`."""
    lines = {}
    for line in run("llvm-objdump", "--disassemble", f"--triple={triple}", path).splitlines():
        match = re.match(r"\s*([0-9a-f]+):\s+(?:[0-9a-f]{2}\s)+\s*(\S+)\s*(.*)", line)
        if match:
            lines[int(match.group(1), 16)] = (match.group(2), match.group(3))
    return lines


SECTION = re.compile(r"\s*\[\s*(\d+)\]\s+\S+\s+\S+(?:\s+[0-9a-f]+){4}\s+([A-Za-z]*)\s+\d+\s+\d+\s+\d+$")


def mapping_symbols(path):
    """(address, kind) of each mapping symbol in an executable section, in address order. The kind
    is a for ARM code, t for Thumb code, d for data (literal pools, strings)."""
    listing = run("llvm-readelf", "--sections", "--symbols", "--wide", path).splitlines()
    executable = {match.group(1) for match in map(SECTION.match, listing) if match and "X" in match.group(2)}
    marks = []
    for words in map(str.split, listing):
        if len(words) == 8 and words[6] in executable and re.fullmatch(r"\$[adt](\.\d+)?", words[7]):
            marks.append((int(words[1], 16), words[7][1]))
    return sorted(marks)


def offenders(path):
    """Each instruction in `path` that an ARMv4T core in ARM state cannot run, as text."""
    marks = mapping_symbols(path)
    found = [f"{address:x}: Thumb code" for address, kind in marks if kind == "t"]
    for_armv4t = disassemble(path, "armv4t-none-eabi")
    for address, (mnemonic, operands) in sorted(disassemble(path, "armv7a-none-eabi").items()):
        region = bisect.bisect_right(marks, (address, "~")) - 1
        if region >= 0 and marks[region][1] != "a":
            continue
        decoded = for_armv4t[address][0] != "<unknown>" or mnemonic in MULTIPLIES
        if mnemonic not in ARMV4T or not decoded:
            found.append(f"{address:x}: {mnemonic} {operands}".rstrip())
    return found


def instruction_count(path):
    return len(disassemble(path, "armv7a-none-eabi"))


class TheArmv4tCheck(unittest.TestCase):
    def test_passes_the_linked_program_and_every_kind_of_armv4t_instruction(self):
        for path in (ARGS.program, ARGS.allowed):
            with self.subTest(path):
                self.assertEqual(offenders(path), [])

    def test_refuses_every_newer_instruction_and_thumb_code(self):
        refused = offenders(ARGS.refused)
        self.assertEqual(len(refused), instruction_count(ARGS.refused), "\n".join(refused))
        self.assertEqual(offenders(ARGS.thumb), ["0: Thumb code"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("program", "allowed", "refused", "thumb"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
