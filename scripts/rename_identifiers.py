#!/usr/bin/env python3
"""Renames the identifiers listed in rename_identifiers.txt across the
tracked sources, then prints every old name still found.

Each line of the table is one of
    old New [glob ...]       an identifier or a literal pattern
    re:regex New [glob ...]  a regular expression, where a name needs context
    enum:Type old New        a value of the scoped enumeration Type
A space inside a pattern is written "\\ ". A pattern's ends that are word
characters match at word boundaries only (`valid()` does not match
`is_valid()`); globs limit the pair to the files they match. An
enumeration value is renamed inside the braces of every `enum class Type`
and wherever it is written `Type::old`.

Code files (*.h *.cpp *.c *.cmake CMakeLists.txt) are rewritten in full;
in *.md files only the text between backquotes is. tools/vmodem keeps its
own style and is never touched. Running the script twice changes nothing
the second time. Exits 1 when an old name is left (a file merged later).
"""
import fnmatch
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(subprocess.check_output(
    ["git", "rev-parse", "--show-toplevel"], text=True).strip())
TABLE = pathlib.Path(__file__).with_name("rename_identifiers.txt")
CODE = ("*.h", "*.cpp", "*.c", "*.cmake", "CMakeLists.txt")
SKIP = ("tools/vmodem/",)


def bounded(literal):
    if literal.startswith("re:"):
        return re.compile(literal[3:])
    head = r"(?<![\w])" if re.match(r"\w", literal) else ""
    tail = r"(?![\w])" if re.search(r"\w$", literal) else ""
    return re.compile(head + re.escape(literal) + tail)


def load_table():
    pairs, enums = [], []
    for number, raw in enumerate(TABLE.read_text().splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [f.replace("\0", " ") for f in line.replace("\\ ", "\0").split()]
        if fields[0].startswith("enum:"):
            if len(fields) != 3:
                sys.exit(f"{TABLE.name}:{number}: enum:Type old New")
            enums.append((fields[0][5:], fields[1], fields[2]))
        else:
            if len(fields) < 2:
                sys.exit(f"{TABLE.name}:{number}: old New [glob ...]")
            pairs.append((fields[0], fields[1], fields[2:]))
    return pairs, enums


def tracked_files():
    names = subprocess.check_output(["git", "ls-files"], cwd=ROOT, text=True).split()
    for name in names:
        if name.startswith(SKIP):
            continue
        base = pathlib.PurePath(name).name
        if any(fnmatch.fnmatch(base, p) for p in CODE) or base.endswith(".md"):
            yield name


def applies(globs, name):
    return not globs or any(fnmatch.fnmatch(name, g) for g in globs)


def rename_enum_bodies(text, type_name, old, new):
    body = re.compile(r"(enum\s+class\s+" + re.escape(type_name) + r"\b[^{;]*\{)([^}]*)(\})")
    word = bounded(old)

    def fix(match):
        lines = []
        for line in match.group(2).split("\n"):
            code, sep, comment = line.partition("//")
            lines.append(word.sub(new, code) + sep + comment)
        return match.group(1) + "\n".join(lines) + match.group(3)

    return body.sub(fix, text)


def rename_code(text, name, pairs, enums):
    for old, new, globs in pairs:
        if applies(globs, name):
            text = bounded(old).sub(new, text)
    for type_name, old, new in enums:
        text = bounded(f"{type_name}::{old}").sub(f"{type_name}::{new}", text)
        text = rename_enum_bodies(text, type_name, old, new)
    return text


def rename_markdown(text, name, pairs, enums):
    def fix(match):
        return rename_code(match.group(0), name, pairs, enums)
    return re.sub(r"`[^`\n]+`", fix, text)


def main():
    pairs, enums = load_table()
    changed = []
    files = list(tracked_files())
    for name in files:
        path = ROOT / name
        text = path.read_text()
        rename = rename_markdown if name.endswith(".md") else rename_code
        new_text = rename(text, name, pairs, enums)
        if new_text != text:
            path.write_text(new_text)
            changed.append(name)
    print(f"{len(pairs)} renames and {len(enums)} enumeration values; "
          f"{len(changed)} files changed")

    # What is left: a newly merged file may still use an old name.
    left = 0
    for name in files:
        text = (ROOT / name).read_text()
        if name.endswith(".md"):
            text = "\n".join(m.group(0) for m in re.finditer(r"`[^`\n]+`", text))
        for old, _, globs in pairs:
            if applies(globs, name) and bounded(old).search(text):
                print(f"left: {name}: {old}")
                left += 1
        for type_name, old, _ in enums:
            if bounded(f"{type_name}::{old}").search(text):
                print(f"left: {name}: {type_name}::{old}")
                left += 1
    print("no old name left" if left == 0 else f"{left} old names left")
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
