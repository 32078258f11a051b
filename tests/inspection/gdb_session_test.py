#!/usr/bin/python3
"""cesim --gdb driven by Debian's gdb-multiarch in batch mode, and by hostile clients.

gdb_session_test.py --cesim CESIM --image EXE --symbols ELF --fault-image EXE --registry REG
                    [unittest arguments]
Every process has a time limit: a stub that stops answering fails the test, it never hangs it.
"""
import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
LIMIT = 60  # seconds any one process may take
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def source_line(file, text):
    """The number of the line of update/<file> that holds `text`, so a test names a statement, not
    where it happens to stand."""
    with open(os.path.join(REPO, "update", file), encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            if text in line:
                return number
    raise AssertionError(f"{text!r} is not in update/{file}")


class Cesim:
    """cesim started with --gdb 0; the port it listens on is read from its first line."""

    def __init__(self, folder, image, *arguments):
        self.out_path = os.path.join(folder, "out.txt")
        self.out = open(self.out_path, "wb")
        self.process = subprocess.Popen(
            [ARGS.cesim, "--image", image, "--gdb", "0", *arguments], stdin=subprocess.DEVNULL,
            stdout=self.out, stderr=subprocess.PIPE)
        first = self._line(10)
        match = re.fullmatch(r"cesim: waiting for GDB on 127\.0\.0\.1:(\d+)\n", first)
        if not match:
            self.process.kill()
            raise AssertionError("cesim did not listen: " + repr(first))
        self.port = int(match.group(1))

    def _line(self, seconds):
        line = b""
        deadline = time.monotonic() + seconds
        while not line.endswith(b"\n"):
            ready, _, _ = select.select([self.process.stderr], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                break
            byte = os.read(self.process.stderr.fileno(), 1)
            if not byte:
                break
            line += byte
        return line.decode()

    def finish(self):
        """Waits for the end of the run: (exit status, stdout, the rest of stderr)."""
        try:
            _, err = self.process.communicate(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("cesim did not end")
        finally:
            self.out.close()
        with open(self.out_path, encoding="utf-8") as out:
            return self.process.returncode, out.read(), err.decode()


def gdb(port, commands, program=None):
    """Runs gdb-multiarch in batch mode on `program` (default: the image's symbols) with `commands`
    after connecting; returns its output."""
    script = "set pagination off\nset confirm off\nset width 0\n"
    script += f"target remote 127.0.0.1:{port}\n" + "\n".join(commands) + "\n"
    with tempfile.NamedTemporaryFile("w", suffix=".gdb", delete=False) as file:
        file.write(script)
    try:
        result = subprocess.run(["gdb-multiarch", "-batch", "-nx", "-x", file.name, program or ARGS.symbols],
                                capture_output=True, text=True, timeout=LIMIT, stdin=subprocess.DEVNULL)
    finally:
        os.unlink(file.name)
    return result.stdout + result.stderr


class Remote:
    """A client that speaks the remote protocol itself, where GDB would hide what the stub says."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=LIMIT)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.socket.close()

    def send(self, payload):
        self.socket.sendall(b"$%s#%02x" % (payload, sum(payload) % 256))

    def reply(self, received=b""):
        """Reads up to the end of the next packet; returns all that came."""
        while not re.search(rb"\$[^#]*#..", received):
            more = self.socket.recv(4096)
            if not more:
                raise AssertionError("the stub closed the connection after " + repr(received))
            received += more
        return received

    def exchange(self, payload):
        self.send(payload)
        return self.reply()


def symbol_address(name):
    """The address of `name` in the image's symbols, as GDB reads it."""
    output = subprocess.run(["gdb-multiarch", "-batch", "-nx", "-ex", f"print/x &{name}", ARGS.symbols],
                            capture_output=True, text=True, timeout=LIMIT, stdin=subprocess.DEVNULL).stdout
    return int(re.search(r"= (0x[0-9a-f]+)", output).group(1), 16)


def without_debugger(*arguments):
    """What the same run prints without --gdb."""
    return subprocess.run([ARGS.cesim, "--image", ARGS.image, *arguments], capture_output=True,
                          text=True, timeout=LIMIT, stdin=subprocess.DEVNULL).stdout


class Session(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cesim-gdb-")
        self.registry = os.path.join(self.folder, "device.reg")
        shutil.copyfile(ARGS.registry, self.registry)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def registry_unchanged(self):
        with open(self.registry, "rb") as now, open(ARGS.registry, "rb") as before:
            return now.read() == before.read()

    def test_breaks_at_winmain_steps_into_checkromlanguage_reads_the_data_and_runs_to_the_end(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "no", "--trace")
        output = gdb(cesim.port, [
            "break WinMain", "break CheckRomLanguage", "continue", "next", "next", "step", "bt",
            "print/x RomInfoBlock[128]", "print/x RomInfoBlock[130]", "finish",
            "print ResetPromptText", "continue"])
        status, out, err = cesim.finish()
        first = source_line("main.cpp", "ProgramInstance = instance;")
        memset = source_line("rom_check.cpp", "memset(ResetPromptText, 0,")
        self.assertRegex(output, rf"Breakpoint 1, WinMain \(instance=46461094\) at \S*update/main\.cpp:{first}\n")
        self.assertRegex(output, rf"CheckRomLanguage \(\) at \S*update/rom_check\.cpp:{memset}\n")
        self.assertRegex(output, r"#1  0x[0-9a-f]+ in WinMain")
        self.assertIn("$1 = 0x44\n", output)  # 'D' of DEUTSCH
        self.assertIn("$2 = 0x45\n", output)
        self.assertIn("Value returned is $3 = true", output)
        self.assertRegex(output, r'\$4 = u"Sie m\S+ssen einen Soft-Reset')
        self.assertIn("[Inferior 1 (Remote target) exited normally]", output)
        # The run under the debugger prints what it prints without one.
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, without_debugger("--answer", "no", "--trace"))

    def test_stepping_over_a_platform_call_traces_it_there_and_then(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "no", "--trace")
        count = f"shell grep -c RegSetValueExW {cesim.out_path} || true"
        output = gdb(cesim.port, ["break RegSetValueExW", "continue", count, "finish", count,
                                  "delete", "continue"])
        status, out, _ = cesim.finish()
        self.assertRegex(output, r"Breakpoint 1, 0x[0-9a-f]+ in RegSetValueExW \(\)\n0\n")
        # Back in the caller after the call: its trace line is out.
        self.assertRegex(output, r"\n0x[0-9a-f]+ in WriteCardFolders [^\n]*card_folder\.cpp:\d+\n"
                                 r"\d+\s+if \(RegSetValueExW\([^\n]*\n1\n")
        self.assertEqual(status, 0)
        self.assertEqual(out, without_debugger("--answer", "no", "--trace"))

    def test_a_watchpoint_stops_where_the_program_writes(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "no")
        output = gdb(cesim.port, ["watch ProgramInstance", "continue", "print/x $pc", "delete",
                                  "continue"])
        status, _, _ = cesim.finish()
        self.assertIn("Old value = 0\nNew value = 46461094", output)
        after = source_line("main.cpp", "QueryRomInfo();")
        self.assertRegex(output, rf"WinMain \(instance=46461094\) at \S*update/main\.cpp:{after}\n")
        self.assertIn("[Inferior 1 (Remote target) exited normally]", output)
        self.assertEqual(status, 0)

    def test_a_watchpoint_stops_on_an_access_to_its_own_bytes_only(self):
        # The update writes the word ProgramInstance once, then reads it. GDB would quietly resume
        # from a stop outside the bytes it watches, so the packets are sent here directly.
        word = symbol_address("ProgramInstance")
        rows = [
            ("the word itself", b"Z2,%x,4" % word, rb"\$T05watch:%x;#" % word),
            ("its last byte", b"Z2,%x,1" % (word + 3), rb"\$T05watch:%x;#" % (word + 3)),
            ("the word before it", b"Z2,%x,4" % (word - 4), rb"\$W00#"),
            ("the word after it", b"Z2,%x,4" % (word + 4), rb"\$W00#"),
            ("any access to the word before it", b"Z4,%x,4" % (word - 4), rb"\$W00#"),
        ]
        for what, watch, stop in rows:
            with self.subTest(what):
                cesim = Cesim(self.folder, ARGS.image, "--answer", "no")
                with Remote(cesim.port) as remote:
                    self.assertIn(b"$OK#", remote.exchange(watch))
                    reply = remote.exchange(b"c")
                    self.assertRegex(reply, stop)
                    if b"$T05" in reply:
                        remote.send(b"k")
                self.assertEqual(cesim.finish()[0], 3 if b"$T05" in reply else 0)

    def test_detaching_lets_the_run_finish_as_without_a_debugger(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "yes", "--trace", "--registry", self.registry)
        output = gdb(cesim.port, ["break ApplyCardFolderName", "continue", "detach"])
        status, out, err = cesim.finish()
        self.assertIn("Breakpoint 1, ApplyCardFolderName ()", output)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("registry file: " + self.registry + " saved", out)

    def test_kill_ends_the_run_and_leaves_the_registry_file(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "yes", "--registry", self.registry)
        output = gdb(cesim.port, ["break ApplyCardFolderName", "continue", "next", "next", "next",
                                  "kill"])
        status, out, err = cesim.finish()
        self.assertIn("Breakpoint 1, ApplyCardFolderName ()", output)
        self.assertEqual(status, 3)
        self.assertEqual(err, "cesim: the debugger killed the process; the registry file is left as it was\n")
        self.assertNotIn("summary", out)
        self.assertTrue(self.registry_unchanged())

    def test_a_fault_stops_with_its_signal_at_the_faulting_instruction(self):
        cesim = Cesim(self.folder, ARGS.fault_image, "--registry", self.registry)
        program = os.path.splitext(ARGS.fault_image)[0] + ".elf"
        output = gdb(cesim.port, ["continue", "x/i $pc", "print/x $r0", "continue"], program)
        status, _, err = cesim.finish()
        self.assertIn("Program received signal SIGSEGV, Segmentation fault.", output)
        self.assertRegex(output, r"=> 0x11004 <[^>]*>:\s+ldr\s+r0, \[r0\]")
        self.assertIn("$1 = 0x0", output)
        self.assertIn("Program terminated with signal SIGSEGV", output)
        self.assertEqual(status, 3)
        self.assertRegex(err, r"^cesim: emulation fault: read of 0x00000000 \(unmapped\)[^\n]*\n$")
        self.assertTrue(self.registry_unchanged())

    def test_a_hostile_packet_ends_the_run_with_one_line(self):
        cases = [
            (b"$g#00", "packet checksum 00, expected 67"),
            (b"$" + b"m" * 20000 + b"#00", "packet longer than 16384 bytes"),
            (b"hello", "byte 0x68 outside a packet"),
            (b"$m123456789,4#" + b"%02x" % (sum(b"m123456789,4") % 256), "a number of 9 hex digits"),
            (b"$m11000,ffffffff#" + b"%02x" % (sum(b"m11000,ffffffff") % 256),
             "m packet asks for 4294967295 bytes, more than 4096"),
        ]
        for packet, message in cases:
            with self.subTest(message):
                cesim = Cesim(self.folder, ARGS.image, "--answer", "yes", "--registry", self.registry)
                with socket.create_connection(("127.0.0.1", cesim.port), timeout=LIMIT) as client:
                    client.sendall(packet)
                    closed = False
                    while not closed:  # the stub closes the connection
                        closed = client.recv(65536) == b""
                status, out, err = cesim.finish()
                self.assertEqual(status, 3)
                self.assertEqual(err, "cesim: the debugger's connection: " + message +
                                 "; the run is ended and the registry file left as it was\n")
                self.assertEqual(out, "")
                self.assertTrue(self.registry_unchanged())

    def test_memory_and_registers_are_written_as_the_guest_may(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "no")
        output = gdb(cesim.port, [
            "break CheckRomLanguage", "continue", "set var ProgramInstance = 7", "print ProgramInstance",
            "set var $r5 = 0x1234", "print/x $r5", "print/x *(int *)0x11000",
            "set var *(int *)0x11000 = 0"])  # the last: an error ends the script, and GDB detaches
        status, _, _ = cesim.finish()
        self.assertIn("$1 = 7\n", output)  # .bss: the process may write it
        self.assertIn("$2 = 0x1234\n", output)
        self.assertRegex(output, r"\$3 = 0x[0-9a-f]{6,8}\n")  # the code can be read
        self.assertIn("Cannot access memory at address 0x11000", output)  # but not written
        self.assertEqual(status, 0)

    def test_the_interrupt_byte_stops_a_running_program(self):
        cesim = Cesim(self.folder, os.path.join(os.path.dirname(ARGS.fault_image), "..", "endless_loop",
                                                "endless_loop.exe"), "--max-instructions", "1000000000")
        with Remote(cesim.port) as remote:
            self.assertIn(b"$S05#", remote.exchange(b"?"))
            remote.send(b"c")
            time.sleep(0.2)
            remote.socket.sendall(b"\x03")
            self.assertIn(b"$S02#", remote.reply())  # SIGINT, at the loop
            self.assertRegex(remote.exchange(b"pf"), rb"\$00100100#")  # pc 0x00011000
            remote.send(b"k")
        status, _, err = cesim.finish()
        self.assertEqual(status, 3)
        self.assertEqual(err, "cesim: the debugger killed the process; the registry file is left as it was\n")

    def test_a_port_in_use_is_refused_before_the_run(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            result = subprocess.run([ARGS.cesim, "--image", ARGS.image, "--gdb", str(port)],
                                    capture_output=True, text=True, timeout=LIMIT)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr, f"cesim: --gdb: 127.0.0.1:{port}: Address already in use\n")
        self.assertEqual(result.stdout, "")

    def test_the_stub_listens_on_the_loopback_address_only(self):
        cesim = Cesim(self.folder, ARGS.image, "--answer", "no")
        listening = subprocess.run(["ss", "-Hltn", f"sport = :{cesim.port}"], capture_output=True,
                                   text=True, timeout=LIMIT).stdout if shutil.which("ss") else None
        gdb(cesim.port, ["continue"])
        self.assertEqual(cesim.finish()[0], 0)
        if listening is not None:
            self.assertEqual(re.findall(r"\S+:\d+", listening)[0], f"127.0.0.1:{cesim.port}")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("cesim", "image", "symbols", "fault-image", "registry"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
