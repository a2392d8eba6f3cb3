#!/usr/bin/env python3
"""Writes the sharing page's text and settings documents of one language.

Reads a dialog text file res/dialogs/<lang>.txt and writes the two documents the page's
ReadXML.js fetches next to SelectUsers.htm:

  index.xml     <qvverify><SelectUsers.htm><ELEMENT_ID>text</ELEMENT_ID>...</SelectUsers.htm>
                </qvverify>: one child per page, named after the page file, holding one child
                per element id (and <button>_Lbl for the label drawn on a button's image)
  settings.xml  <settings><fontStyle>Verdana</fontStyle>...</settings>

The dialog text file has one entry per line, four fields separated by single tabs:
  <kind> <TAB> <resource> <TAB> <item> <TAB> <text>
Only two kinds matter here; the others (caption, control, popup, menuitem, desktop) are
checked for their shape and otherwise skipped, since the string compiler embeds them:
  page     <page file>      <element id>     the element's text
  pageset  settings.xml     <setting name>   the setting's value
Texts use the escapes \\n, \\t, \\\\ and \\"; a bare quote or any other backslash is an error, as
it is for the string compiler. Empty lines and lines starting with '#' are ignored.

Both outputs are UTF-8 and are replaced whole (written to a temporary file, then renamed), so a
failed run never leaves a half-written document for the build to pick up.

Exit codes: 0 written; 1 the input is malformed or cannot be read, or an output cannot be
written (the message names the file and line); 2 wrong command line.
"""

import argparse
import os
import sys
import tempfile

KINDS = ("caption", "control", "popup", "menuitem", "desktop", "page", "pageset")
SETTINGS_DOCUMENT = "settings.xml"
ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"'}


class InputError(Exception):
    """A malformed dialog text file; the message starts with file:line."""


def is_name(text):
    """An element, page or setting name that is also a well-formed XML element name."""
    if not text or not (text[0].isascii() and (text[0].isalpha() or text[0] == "_")):
        return False
    return all(c.isascii() and (c.isalnum() or c in "_.-") for c in text)


def is_id(text):
    return 0 < len(text) <= 5 and text.isdigit() and text.isascii() and int(text) <= 0xFFFF


def unescape(text, where):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == '"':
            raise InputError(f'{where}: a bare quote; write it as \\"')
        if c == "\\":
            if i + 1 >= len(text) or text[i + 1] not in ESCAPES:
                raise InputError(f"{where}: unsupported escape; use \\n, \\t, \\\\ or \\\"")
            out.append(ESCAPES[text[i + 1]])
            i += 2
            continue
        out.append(c)
        i += 1
    result = "".join(out)
    for c in result:
        # XML 1.0 cannot carry these characters at all, escaped or not.
        if (ord(c) < 0x20 and c not in "\n\t") or c in "\ufffe\uffff":
            raise InputError(f"{where}: the text holds control character U+{ord(c):04X}")
    return result


def check_item(kind, resource, item, where):
    if kind not in KINDS:
        raise InputError(f'{where}: unknown kind "{kind}"; expected one of {", ".join(KINDS)}')
    if kind in ("page", "pageset"):
        if not is_name(resource) or not is_name(item):
            raise InputError(
                f"{where}: the resource and item of a {kind} line are names made of letters, "
                "digits, '_', '.' and '-', starting with a letter or '_'")
        if kind == "pageset" and resource != SETTINGS_DOCUMENT:
            raise InputError(f'{where}: page settings belong to "{SETTINGS_DOCUMENT}", '
                             f'not "{resource}"')
        return
    if kind == "desktop":
        # Desktop-entry names: a desktop file's id and a key (Name, Comment).
        if not resource or not item.isalpha():
            raise InputError(f'{where}: a desktop line names an entry and a key such as Name')
        return
    if not is_id(resource):
        raise InputError(f"{where}: the resource of a {kind} line is a decimal id")
    ok = {
        "caption": item == "-",
        "control": is_id(item) or (item.startswith("static") and is_id(item[6:]) and
                                   item[6] != "0"),
        "popup": is_id(item),
        "menuitem": item.count(":") == 1 and all(is_id(p) for p in item.split(":")),
    }[kind]
    if not ok:
        raise InputError(f'{where}: item "{item}" does not fit kind {kind}')


def read_page_texts(path):
    """Returns ({page: [(element id, text)]}, [(setting, value)]) in file order."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise InputError(f"{path}: cannot be read: {e.strerror}") from e
    try:
        content = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(f"{path}: not UTF-8 (byte {e.start}); save the file as UTF-8") from e
    if content.startswith("\ufeff"):
        content = content[1:]
    pages = {}
    settings = []
    seen = set()
    for number, line in enumerate(content.split("\n"), start=1):
        where = f"{path}:{number}"
        if line.endswith("\r"):
            raise InputError(f"{where}: carriage return at the end; save with Unix line ends")
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) < 4:
            raise InputError(f'{where}: expected "<kind><tab><resource><tab><item><tab><text>"')
        if len(fields) > 4:
            raise InputError(f"{where}: a text holds a tab as \\t; a raw tab starts a fifth field")
        kind, resource, item, text = fields
        check_item(kind, resource, item, where)
        value = unescape(text, where)
        if kind not in ("page", "pageset"):
            continue
        if (kind, resource, item) in seen:
            raise InputError(f'{where}: "{item}" of "{resource}" is given twice')
        seen.add((kind, resource, item))
        if kind == "page":
            pages.setdefault(resource, []).append((item, value))
        else:
            settings.append((item, value))
    return pages, settings


def xml_text(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def index_document(pages):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<qvverify>"]
    for page, elements in pages.items():
        lines.append(f"  <{page}>")
        for element, text in elements:
            lines.append(f"    <{element}>{xml_text(text)}</{element}>")
        lines.append(f"  </{page}>")
    lines.append("</qvverify>")
    return "\n".join(lines) + "\n"


def settings_document(settings):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<settings>"]
    for name, value in settings:
        lines.append(f"  <{name}>{xml_text(value)}</{name}>")
    lines.append("</settings>")
    return "\n".join(lines) + "\n"


def write_whole(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".page_texts-")
    except OSError as e:
        raise InputError(f"{path}: cannot be written: {e.strerror}") from e
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except OSError as e:
        os.unlink(temporary)
        raise InputError(f"{path}: cannot be written: {e.strerror}") from e


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Write the sharing page's index.xml and settings.xml from a dialog text "
        "file (res/dialogs/<lang>.txt).",
        epilog="Exit codes: 0 written, 1 malformed or unreadable input or unwritable output, "
        "2 wrong command line.")
    parser.add_argument("dialogs_txt", metavar="DIALOGS_TXT", help="res/dialogs/<lang>.txt")
    parser.add_argument("--index", required=True, metavar="OUT_INDEX_XML",
                        help="where to write the page texts (index.xml)")
    parser.add_argument("--settings", required=True, metavar="OUT_SETTINGS_XML",
                        help="where to write the page settings (settings.xml)")
    args = parser.parse_args(argv)
    try:
        pages, settings = read_page_texts(args.dialogs_txt)
        if not pages:
            raise InputError(f"{args.dialogs_txt}: no page lines; the page would show no text")
        write_whole(args.index, index_document(pages))
        write_whole(args.settings, settings_document(settings))
    except InputError as e:
        print(f"page_texts: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
