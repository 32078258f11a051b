#!/usr/bin/python3
"""Writes a fleet of device surveys for `cesim fleet`, and what the update must do on each.

Each device is a folder DIR/NNNN/xxxxx holding rom.bin (the 160-byte ROM information block) and
registry.reg (UTF-16LE with its byte order mark, "Windows Registry Editor Version 5.00", CR LF),
made from the factory registry with variations drawn from a seeded generator: another ROM
language, missing card profiles, folders already renamed, programs installed with paths on the
card. With --expected FILE, one JSON object a line gives each device's report as cesim fleet must
write it, in device order, worked out from how the device was made.

usage: make-fleet.py [--seed N] [--expected FILE] FACTORY_REG DIR COUNT
"""
import argparse
import json
import os
import random
import sys

PROFILES = ["MMC", "PCMCIA", "SDMemory"]
PROFILES_KEY = "HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles"
NEW, OLD = "Speicherkarte", "Storage Card"
LANGUAGES = ["DEUTSCH"] * 8 + ["ENGLISH", "FRANCAIS", "deutsch", "DEUTSCH ", "ITALIANO"]


def rom_block(language):
    name = language.encode("utf-16-le")[:32]
    return bytes(range(128)) + name + bytes(32 - len(name))


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def multi_sz(strings):
    data = "".join(s + "\0" for s in strings) + "\0"
    return "hex(7):" + ",".join("%02x" % b for b in data.encode("utf-16-le"))


# Installed programs' values that name paths on the card, each (key, name, data, texts naming the
# card folder as a path): launch entries, a file association, a shortcut's target, a search path.
def installed_values(rng):
    navigation = "\\Storage Card\\Navigation\\app.exe"
    candidates = [
        ("HKEY_LOCAL_MACHINE\\init", "Launch90", quoted(navigation), [navigation]),
        ("HKEY_CLASSES_ROOT\\gpxfile\\Shell\\Open\\Command", "",
         quoted('"\\STORAGE CARD\\Navigation\\navi.exe" %1'),
         ['"\\STORAGE CARD\\Navigation\\navi.exe" %1']),
        ("HKEY_LOCAL_MACHINE\\Software\\Shortcuts\\Navi", "Target",
         quoted("\\Storage Card"), ["\\Storage Card"]),
        ("HKEY_LOCAL_MACHINE\\Loader", "SystemPath",
         multi_sz(["\\Windows\\", "\\Storage Card\\Lib\\", "\\Storage Cards\\x\\"]),
         ["\\Storage Card\\Lib\\"]),
        ("HKEY_LOCAL_MACHINE\\Software\\Backup", "Path",
         quoted("\\Storage Cards\\backup"), []),
        ("HKEY_LOCAL_MACHINE\\Software\\Backup", "Mirror",
         quoted("\\Windows\\Storage Card\\copy"), []),
    ]
    return [c for c in candidates if rng.random() < 0.5]


def make_device(rng, factory_lines):
    language = rng.choice(LANGUAGES)
    folders = {}
    for profile in PROFILES:
        roll = rng.random()
        folders[profile] = None if roll < 0.06 else NEW if roll < 0.16 else OLD
    if rng.random() < 0.3:  # a fleet has many devices of one kind: renamed whole
        folders = {p: NEW for p in PROFILES}
    installed = installed_values(rng) if rng.random() < 0.4 else []

    lines, skipping, profile = [], False, None
    for line in factory_lines:
        if line.startswith("["):
            key = line.strip()[1:-1]
            profile = next((p for p in PROFILES if key == PROFILES_KEY + "\\" + p), None)
            skipping = profile is not None and folders[profile] is None
        if skipping:
            continue
        if profile and line.startswith('"Folder"='):
            line = '"Folder"=' + quoted(folders[profile])
        lines.append(line)
    for key, name, data, _ in installed:
        lines += ["", "[" + key + "]", ("@" if name == "" else quoted(name)) + "=" + data]
    lines[0] = "Windows Registry Editor Version 5.00"
    registry = "\r\n".join(lines) + "\r\n"
    return language, folders, installed, registry


# The report cesim fleet gives the device: the update opens the three profile keys, writes the
# new name to each in order and stops at the first key that did not open.
def expected_report(name, language, folders, installed):
    report = {"device": name, "outcome": None, "rom_language": language.rstrip("\0"),
              "changed": 0, "stopped_at": None, "asks_reset": False,
              "mounts_as": {}, "stale_references": []}
    mounts = {p: folders[p] if folders[p] is not None else "Mounted Volume" for p in PROFILES}
    if language != "DEUTSCH":
        report["outcome"] = "refused"
    else:
        written = 0
        while written < 3 and folders[PROFILES[written]] is not None:
            written += 1
        changed = [p for p in PROFILES[:written] if folders[p] != NEW]
        report["changed"] = len(changed)
        for p in PROFILES[:written]:
            mounts[p] = NEW
        if written == 3:
            report["outcome"] = "updated" if changed else "unchanged"
            report["asks_reset"] = True
        else:
            report["outcome"] = "partial" if written else "failed"
            report["stopped_at"] = PROFILES[written]
        if changed:
            for key, value, _, texts in installed:
                for text in texts:
                    report["stale_references"].append({"key": key, "value": value, "text": text})
    report["mounts_as"] = mounts
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--expected")
    parser.add_argument("factory")
    parser.add_argument("dir")
    parser.add_argument("count", type=int)
    args = parser.parse_args()
    with open(args.factory, encoding="utf-8") as f:
        factory_lines = f.read().splitlines()
    rng = random.Random(args.seed)
    expected = open(args.expected, "w", encoding="utf-8") if args.expected else None
    for index in range(args.count):
        name = "%04d/%05d" % (index // 1000, index)
        folder = os.path.join(args.dir, name)
        os.makedirs(folder, exist_ok=True)
        language, folders, installed, registry = make_device(rng, factory_lines)
        with open(os.path.join(folder, "rom.bin"), "wb") as f:
            f.write(rom_block(language))
        with open(os.path.join(folder, "registry.reg"), "wb") as f:
            f.write(b"\xff\xfe" + registry.encode("utf-16-le"))
        if expected:
            report = expected_report(name, language, folders, installed)
            expected.write(json.dumps(report, ensure_ascii=False) + "\n")
    if expected:
        expected.close()


if __name__ == "__main__":
    sys.exit(main())
