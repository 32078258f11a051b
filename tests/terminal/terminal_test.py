"""cesim at a terminal: a pseudo-terminal is its standard input and standard error (where the
prompts go), its standard output a pipe, as with `cesim > out.txt`. Each case runs natively and
with the device image on the emulated CPU.

Usage: terminal_test.py CESIM DEVICE_IMAGE FACTORY_REGISTRY
"""
import fcntl
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

CESIM, IMAGE, FACTORY = sys.argv[1:4]
RUNNERS = {"native": [], "emulated": ["--image", IMAGE]}
PROMPT = b"Ja (j) / Nein (n)? "
TIMEOUT = 10


class Session:
    """cesim started on a fresh pseudo-terminal of the given width (0: the terminal gives none)."""

    def __init__(self, arguments, columns=0, environment=None):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        env = dict(os.environ)
        env.pop("COLUMNS", None)
        env.update(environment or {})
        self.process = subprocess.Popen([CESIM] + arguments, stdin=slave, stderr=slave,
                                        stdout=subprocess.PIPE, env=env, close_fds=True)
        os.close(slave)
        self.screen = b""

    def read_until(self, ending):
        """Reads the terminal until it shows `ending` last; False if it never does."""
        deadline = time.monotonic() + TIMEOUT
        while not self.screen.endswith(ending) and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:  # the process ended and the terminal closed
                    break
                if not chunk:
                    break
                self.screen += chunk
        return self.screen.endswith(ending)

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self):
        """Waits for the end; returns the exit status and the output, and what the terminal
        showed, its line ends as written by the program."""
        try:
            output, _ = self.process.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:  # still waiting for input: fail, leaving nothing behind
            self.process.kill()
            output, _ = self.process.communicate()
            os.close(self.master)
            raise AssertionError("cesim did not end: " + self.screen.decode(errors="replace"))
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                break
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.screen += chunk
        os.close(self.master)
        return self.process.returncode, output.decode(), self.screen.replace(b"\r\n", b"\n").decode()


class TerminalTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cesim-terminal-")
        self.registry = os.path.join(self.folder, "device.reg")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def fresh_registry(self):
        shutil.copyfile(FACTORY, self.registry)
        with open(self.registry, "rb") as factory:
            return factory.read()

    def test_end_of_input_at_the_question_ends_the_run_and_saves_nothing(self):
        for name, runner in RUNNERS.items():
            with self.subTest(name):
                before = self.fresh_registry()
                session = Session(runner + ["--registry", self.registry])
                self.assertTrue(session.read_until(PROMPT), session.screen)
                session.type(b"\x04")  # Ctrl-D
                status, output, screen = session.finish()
                self.assertEqual(status, 130)
                self.assertTrue(screen.endswith(
                    "\ncesim: interrupted: end of input at the Yes/No question; nothing saved\n"),
                    screen)
                self.assertNotIn("summary", output)
                with open(self.registry, "rb") as after:
                    self.assertEqual(after.read(), before)

    def test_a_file_changed_while_the_question_waits_is_not_saved(self):
        def edit(path):
            with open(path, "ab") as registry:
                registry.write(b"; another program's line\n")

        def delete(path):
            os.remove(path)

        def replace_by_link(path):
            os.remove(path)
            os.symlink("other.reg", path)

        cases = [(edit, "it was changed after it was read"),
                 (delete, "it was deleted after it was read, and is not made again"),
                 (replace_by_link, "it was replaced by a symbolic link after it was read")]
        other = os.path.join(self.folder, "other.reg")
        for name, runner in RUNNERS.items():
            for change, reason in cases:
                with self.subTest(f"{name} {change.__name__}"):
                    if os.path.lexists(self.registry):  # a link left by the case before
                        os.remove(self.registry)
                    self.fresh_registry()
                    shutil.copyfile(FACTORY, other)
                    session = Session(runner + ["--registry", self.registry])
                    self.assertTrue(session.read_until(PROMPT), session.screen)
                    change(self.registry)
                    expected = (open(self.registry, "rb").read()
                                if os.path.exists(self.registry) else None)
                    session.type(b"n\n")
                    status, output, screen = session.finish()
                    self.assertEqual(status, 1, screen)
                    self.assertIn(f"NOT saved: {reason}; the changes above are lost",
                                  " ".join(output.split()))
                    self.assertIn(f"cesim: {self.registry}: cannot save: replacing "
                                  f"{self.registry}: {reason}", screen)
                    self.assertEqual(open(self.registry, "rb").read()
                                     if os.path.exists(self.registry) else None, expected)
                    with open(other, "rb") as untouched, open(FACTORY, "rb") as factory:
                        self.assertEqual(untouched.read(), factory.read())

    def test_a_run_waits_for_another_run_on_the_same_file_and_says_so(self):
        for name, runner in RUNNERS.items():
            with self.subTest(name):
                self.fresh_registry()
                holder = open(self.registry, "rb")
                fcntl.flock(holder, fcntl.LOCK_EX)
                session = Session(runner + ["--registry", self.registry, "--answer", "no"])
                waiting = f"cesim: waiting for another run to finish with {self.registry}\r\n"
                self.assertTrue(session.read_until(waiting.encode()), session.screen)
                time.sleep(0.2)
                self.assertIsNone(session.process.poll())  # still waiting
                holder.close()
                status, output, _ = session.finish()
                self.assertEqual(status, 0)
                self.assertIn(f"registry file: {self.registry} saved", " ".join(output.split()))

    def test_typed_answers_are_accepted_or_asked_again(self):
        hint = b"Please type j for Ja or n for Nein, then Enter.\r\n" + PROMPT
        cases = [
            ([b"j\n"], "Ja", "requested and taken"),
            ([b"  YES \n"], "Ja", "requested and taken"),
            ([b"Nein\n"], "Nein", "not requested"),
            ([b"vielleicht\n", b"\n", b"\tno\n"], "Nein", "not requested"),
        ]
        for name, runner in RUNNERS.items():
            for lines, answered, reset in cases:
                with self.subTest(f"{name} {lines}"):
                    session = Session(runner)
                    self.assertTrue(session.read_until(PROMPT), session.screen)
                    for line in lines[:-1]:
                        session.type(line)
                        self.assertTrue(session.read_until(hint), session.screen)
                    session.type(lines[-1])
                    status, output, screen = session.finish()
                    self.assertEqual(status, 0, screen)
                    self.assertIn("│                           [ Ja ]   [ Nein ]", output)
                    self.assertIn(f"┘\nanswered: {answered}\n", output)
                    self.assertIn(f"  soft reset: {reset}", output)
                    # The box is shown on the terminal too while it waits, as the output is not.
                    self.assertIn("[ Ja ]   [ Nein ]", screen)

    def test_an_answer_given_means_no_box_waits(self):
        for name, runner in RUNNERS.items():
            with self.subTest(name):
                # A ROM that is not German ends with an OK box; nothing is typed.
                session = Session(runner + ["--answer", "no", "--rom-language", "ENGLISH"])
                status, output, screen = session.finish()
                self.assertEqual(status, 0)
                self.assertIn("[ OK ]", output)
                self.assertNotIn("(Enter)", screen)

    def test_an_ok_box_waits_for_enter_without_an_answer(self):
        session = Session(["--rom-language", "ENGLISH"])
        self.assertTrue(session.read_until(b"OK (Enter) "), session.screen)
        session.type(b"\n")
        status, _, _ = session.finish()
        self.assertEqual(status, 0)

    def test_boxes_are_as_wide_as_the_terminal_else_columns(self):
        cases = [(60, {}, 60), (0, {"COLUMNS": "50"}, 50), (0, {}, 80), (0, {"COLUMNS": "x"}, 80)]
        for columns, environment, width in cases:
            with self.subTest(f"{columns} {environment}"):
                session = Session(["--answer", "no"], columns, environment)
                status, output, _ = session.finish()
                self.assertEqual(status, 0)
                top = output.splitlines()[0]
                self.assertTrue(top.startswith("┌"), output)
                self.assertLessEqual(len(top), width)
                self.assertGreater(len(top), width - 12)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
