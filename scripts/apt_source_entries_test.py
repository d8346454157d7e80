#!/usr/bin/env python3
"""scripts/apt-source-entries on apt folders of its own: which suites get source entries,
which are left alone, and that a second run changes nothing."""
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).with_name("apt-source-entries")

DEBIAN = """\
Types: deb
# a comment that is not copied
URIs: http://deb.example.test/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.example.test/debian-security
Suites: bookworm-security
Components: main
"""


class AptSourceEntriesTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.apt = Path(self.folder.name)
        (self.apt / "sources.list.d").mkdir()

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text):
        (self.apt / name).write_text(text)

    def run_script(self):
        done = subprocess.run([str(SCRIPT), str(self.apt)], capture_output=True, text=True, check=True)
        self.assertEqual(done.stderr, "")
        return done.stdout.strip()

    def written(self, name):
        path = self.apt / "sources.list.d" / name
        return path.read_text() if path.exists() else None

    def test_every_binary_suite_gets_its_sources_once(self):
        self.write("sources.list.d/debian.sources", DEBIAN)
        self.assertEqual(self.run_script(), "changed")
        self.assertEqual(self.written("vantorra-deb-src.sources"),
                         "Types: deb-src\nURIs: http://deb.example.test/debian\nSuites: bookworm bookworm-updates\n"
                         "Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n"
                         "Types: deb-src\nURIs: http://deb.example.test/debian-security\n"
                         "Suites: bookworm-security\nComponents: main\n")
        self.assertIsNone(self.written("vantorra-deb-src.list"))
        self.assertEqual(self.run_script(), "")  # idempotent: nothing written again

    def test_suites_with_sources_and_disabled_stanzas_are_left_alone(self):
        cases = {
            "deb and deb-src in one stanza": "Types: deb deb-src\nURIs: http://a.test/d\nSuites: s\nComponents: main\n",
            "deb-src in another file": None,
            "disabled": "Types: deb\nEnabled: no\nURIs: http://a.test/d\nSuites: s\nComponents: main\n",
        }
        for name, text in cases.items():
            with self.subTest(name):
                for old in (self.apt / "sources.list.d").iterdir():
                    old.unlink()
                if text is None:
                    self.write("sources.list.d/a.sources", "Types: deb\nURIs: http://a.test/d\nSuites: s\nComponents: main\n")
                    self.write("sources.list.d/b.sources", "Types: deb-src\nURIs:  http://a.test/d\nSuites: s\nComponents: main\n")
                else:
                    self.write("sources.list.d/a.sources", text)
                self.assertEqual(self.run_script(), "")
                self.assertIsNone(self.written("vantorra-deb-src.sources"))

    def test_a_file_no_longer_needed_is_removed(self):
        self.write("sources.list.d/debian.sources", DEBIAN)
        self.run_script()
        self.write("sources.list.d/debian.sources", DEBIAN.replace("Types: deb\n", "Types: deb deb-src\n"))
        self.assertEqual(self.run_script(), "changed")
        self.assertIsNone(self.written("vantorra-deb-src.sources"))

    def test_one_line_entries(self):
        self.write("sources.list", "# deb http://old.test/debian buster main\n"
                                   "deb http://a.test/debian bookworm main\n"
                                   "deb [arch=amd64] http://b.test/debian bookworm main contrib\n"
                                   "deb-src http://a.test/debian bookworm main\n")
        self.assertEqual(self.run_script(), "changed")
        self.assertEqual(self.written("vantorra-deb-src.list"), "deb-src [arch=amd64] http://b.test/debian bookworm main contrib\n")
        self.assertEqual(self.run_script(), "")

    def test_no_sources_folder_is_no_error(self):
        (self.apt / "sources.list.d").rmdir()
        self.assertEqual(self.run_script(), "")


if __name__ == "__main__":
    unittest.main()
