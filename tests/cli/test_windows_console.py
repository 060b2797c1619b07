#!/usr/bin/env python3
"""retriva.exe in a Windows console (Wine's, on a pseudo-terminal): names in
any script show as they are, the progress line is taken back before the
rows, and a pipe still gets UTF-8 bytes.

Usage: test_windows_console.py WINE_RUN RETRIVA_EXE IMAGES
"""
import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import unittest

WINE_RUN, RETRIVA_EXE, IMAGES = sys.argv[1:4]
ENV = dict(os.environ, WINEDEBUG="-all", TZ="UTC", LANG="C.UTF-8", LC_ALL="C.UTF-8")


def console_screen(args):
    """The lines a terminal shows for the program's console output."""
    import pty
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 200, 0, 0))
    p = subprocess.Popen([WINE_RUN, RETRIVA_EXE, *args], stdin=slave, stdout=slave, stderr=slave, env=ENV)
    os.close(slave)
    raw = b""
    while True:
        r, _, _ = select.select([master], [], [], 120)
        if not r:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        raw += chunk
    p.wait(timeout=60)
    os.close(master)
    # The console's own terminal commands (cursor, erase) are its business;
    # what is left is what the program wrote.
    # Wine's console moves the cursor forward over blanks ("ESC[nC").
    text = raw.decode("utf-8", errors="replace")
    text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    lines, cur, col = [], [], 0
    for ch in text.replace("\r\r\n", "\n").replace("\r\n", "\n"):
        if ch == "\n":
            lines.append("".join(cur).rstrip())
            cur, col = [], 0
        elif ch == "\r":
            col = 0
        else:
            cur[col:col + 1] = [ch]
            col += 1
    lines.append("".join(cur).rstrip())
    return [l for l in lines if l], raw


class Console(unittest.TestCase):
    def test_names_show_in_their_script_and_no_progress_is_left(self):
        image = os.path.join(IMAGES, "ntfs-512.img")
        lines, raw = console_screen(["search", image])
        self.assertTrue(any("café-日本語-" in l for l in lines), lines)
        self.assertTrue(lines[0].startswith("NAME"), lines[:3])
        self.assertRegex(lines[-1], r"^\d+ deleted files found")
        for l in lines:
            self.assertNotIn("Searching", l)
            self.assertNotIn("[K", l)
            self.assertNotIn("\u2190", l)  # an escape shown as a glyph

    def test_a_pipe_gets_utf8(self):
        image = os.path.join(IMAGES, "ntfs-512.img")
        p = subprocess.run([WINE_RUN, RETRIVA_EXE, "search", "--json", image], capture_output=True, env=ENV, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("café-日本語-\U0001F600.txt", p.stdout.decode("utf-8"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
