#!/usr/bin/env python3
"""scripts/page_texts.py: the page documents it writes, and the dialog texts it refuses.

Run with the project's source folder as the only argument; exit code 0 when every case passes.
"""

import html.parser
import glob
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE_DIR = None


def read_bytes(path):
    """The file's bytes, or None when there is no such file."""
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def run_generator(text, folder, encoding="utf-8"):
    """Runs the generator on `text` (str or bytes); returns (exit code, stderr, index, settings)."""
    source = os.path.join(folder, "dialogs.txt")
    with open(source, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode(encoding))
    index = os.path.join(folder, "index.xml")
    settings = os.path.join(folder, "settings.xml")
    done = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "scripts", "page_texts.py"),
                           source, "--index", index, "--settings", settings],
                          capture_output=True, text=True)
    return done.returncode, done.stderr, read_bytes(index), read_bytes(settings)


class PageIds(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        self.ids.update(value for name, value in attrs if name == "id")


class PageTextsTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.folder = scratch.name

    def fresh_folder(self):
        return tempfile.mkdtemp(dir=self.folder)

    def test_texts_are_unescaped_and_written_as_xml_text(self):
        code, error, index, settings = run_generator(
            "# comment\n\ncaption\t180\t-\tIgnored here\n"
            "page\tSelectUsers.htm\tlblTxt1\tTom & <b>Jerry</b> say \\\"hi\\\"\\n\\tback\\\\slash\n"
            "page\tSelectUsers.htm\tQuorvin_BtnOK_Lbl\t  OK  \n"
            "page\tOther.htm\tlblTxt1\tÄnderung ✓\n"
            "pageset\tsettings.xml\tfontStyle\tDejaVu <Sans>\n", self.folder)
        self.assertEqual(code, 0, error)
        root = ElementTree.fromstring(index)
        self.assertEqual(root.tag, "qvverify")
        self.assertEqual([page.tag for page in root], ["SelectUsers.htm", "Other.htm"])
        self.assertEqual(root.find("SelectUsers.htm/lblTxt1").text,
                         'Tom & <b>Jerry</b> say "hi"\n\tback\\slash')
        self.assertEqual(root.find("SelectUsers.htm/Quorvin_BtnOK_Lbl").text, "  OK  ")
        self.assertEqual(root.find("Other.htm/lblTxt1").text, "Änderung ✓")
        self.assertIsNone(root.find("SelectUsers.htm/caption"))
        self.assertEqual(ElementTree.fromstring(settings).find("fontStyle").text, "DejaVu <Sans>")
        self.assertTrue(index.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'))

    def test_malformed_lines_are_refused_and_nothing_is_written(self):
        good = "page\tSelectUsers.htm\tlblTxt1\tText\n"
        cases = {
            "bare quote": ('page\tSelectUsers.htm\tlblTxt2\tsay "hi"\n', ":2: a bare quote"),
            "unknown escape": ("page\tSelectUsers.htm\tlblTxt2\ta\\x\n", ":2: unsupported escape"),
            "trailing backslash": ("page\tSelectUsers.htm\tlblTxt2\ta\\\n", ":2: unsupported"),
            "three fields": ("page\tSelectUsers.htm\tlblTxt2\n", ":2: expected"),
            "five fields": ("page\tSelectUsers.htm\tlblTxt2\ta\tb\n", ":2: a text holds a tab"),
            "unknown kind": ("pages\tSelectUsers.htm\tlblTxt2\ta\n", ':2: unknown kind "pages"'),
            "id not an XML name": ("page\tSelectUsers.htm\t2lbl\ta\n", ":2: the resource and item"),
            "markup in an id": ("page\tSelectUsers.htm\tlbl<b>\ta\n", ":2: the resource and item"),
            "other settings file": ("pageset\tfonts.xml\tfontStyle\ta\n", ':2: page settings'),
            "given twice": ("page\tSelectUsers.htm\tlblTxt1\tAgain\n", ":2: \"lblTxt1\""),
            "control character": ("page\tSelectUsers.htm\tlblTxt2\ta\x01b\n", "U+0001"),
            "carriage return": ("page\tSelectUsers.htm\tlblTxt2\ta\r\n", ":2: carriage return"),
            "control without a decimal id": ("control\tabc\t1\tOK\n", ":2: the resource"),
            "menu item without a colon": ("menuitem\t608\t32773\tOpen\n", ':2: item "32773"'),
        }
        for name, (line, message) in cases.items():
            with self.subTest(case=name):
                code, error, index, settings = run_generator(good + line, self.fresh_folder())
                self.assertEqual(code, 1, error)
                self.assertIn(message, error)
                self.assertIsNone(index)
                self.assertIsNone(settings)
        for name, data in {"not UTF-8": good.encode() + b"page\tA\tb\t\xff\n",
                           "no page lines": b"caption\t180\t-\tInvalid User\n"}.items():
            with self.subTest(case=name):
                code, error, index, _ = run_generator(data, self.fresh_folder())
                self.assertEqual(code, 1, error)
                self.assertIsNone(index)

    def test_a_failed_run_keeps_the_documents_of_the_last_good_one(self):
        code, error, before, _ = run_generator("page\tSelectUsers.htm\tlblTxt1\tGood\n",
                                               self.folder)
        self.assertEqual(code, 0, error)
        code, _, after, _ = run_generator('page\tSelectUsers.htm\tlblTxt1\tBad "\n', self.folder)
        self.assertEqual(code, 1)
        self.assertEqual(after, before)
        self.assertEqual(sorted(os.listdir(self.folder)), ["dialogs.txt", "index.xml",
                                                           "settings.xml"])

    def test_wrong_command_lines(self):
        script = os.path.join(SOURCE_DIR, "scripts", "page_texts.py")
        missing = os.path.join(self.folder, "missing.txt")
        for arguments, code in [([], 2), ([missing], 2),
                                ([missing, "--index", "i", "--settings", "s"], 1)]:
            with self.subTest(arguments=arguments):
                done = subprocess.run([sys.executable, script] + arguments, capture_output=True,
                                      text=True, cwd=self.folder)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertNotEqual(done.stderr, "")
        help = subprocess.run([sys.executable, script, "--help"], capture_output=True, text=True)
        self.assertEqual(help.returncode, 0)
        self.assertIn("--settings", help.stdout)

    def test_every_language_labels_the_page_it_ships_with(self):
        parser = PageIds()
        with open(os.path.join(SOURCE_DIR, "res", "pages", "SelectUsers.htm"),
                  encoding="utf-8") as f:
            parser.feed(f.read())
        labels = {id for id in parser.ids if id.startswith("lblTxt") or id.endswith("_Lbl")}
        labels.add("Quorvin_PageTitle")
        languages = sorted(glob.glob(os.path.join(SOURCE_DIR, "res", "dialogs", "*.txt")))
        self.assertIn("1033.txt", [os.path.basename(path) for path in languages])
        for path in languages:
            with self.subTest(language=os.path.basename(path)):
                code, error, index, settings = run_generator(read_bytes(path), self.folder)
                self.assertEqual(code, 0, error)
                page = ElementTree.fromstring(index).find("SelectUsers.htm")
                texts = {element.tag: element.text for element in page}
                self.assertEqual(set(texts) - parser.ids, set(), "texts for ids the page lacks")
                self.assertEqual(labels - set(texts), set(), "page labels without a text")
                self.assertTrue(all(texts[label].strip() for label in labels), texts)
                self.assertTrue(ElementTree.fromstring(settings).find("fontStyle").text)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print("usage: page_texts_test.py SOURCE_DIR [unittest options]", file=sys.stderr)
        sys.exit(2)
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main()
