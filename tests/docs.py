"""Checks the documents against the program and themselves:

- every option that `skevla --help` names is in the README's Option table
  and in the manual page's SYNOPSIS and OPTIONS entries, and every key of
  its "Keys:" block in the README's Key table and the manual's KEYS entries;
- every relative Markdown link in README.md and docs/*.md leads to a file
  and, with an #anchor, to a heading of that file.

    python3 tests/docs.py build/skevla

Prints one line for each thing missing and fails if there is any.
"""

import glob
import os
import re
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(path):
    with open(os.path.join(TOP, path), encoding="utf-8") as text:
        return text.read()


def usage(binary):
    """The options and the keys that --help names, in its order."""
    text = subprocess.run([binary, "--help"], capture_output=True, text=True, check=True).stdout
    usage_text, keys_text = text.split("Keys:", 1)
    options = re.findall(r"(?<![\w-])--?[A-Za-z][\w-]*", usage_text)
    entries = re.split(r"\s{3,}", keys_text.strip())  # "n, Right one datagram while paused"
    keys = [key for entry in entries for key in re.match(r"(?:\S+, )*\S+", entry)[0].split(", ")]
    return list(dict.fromkeys(options)), keys


def words(text):
    return set(re.split(r"[\s,`|\[\]\"]+", text.replace("\\-", "-")))


def readme_tables(markdown):
    """Each table's header's first cell, with the words of its rows' first cells."""
    tables = {}
    for block in re.findall(r"(?m)(?:^\|.*\n)+", markdown):
        cells = [row.split("|")[1] for row in block.splitlines()]
        tables[cells[0].strip()] = words(" ".join(cells[2:]))
    return tables


def manual_sections(roff):
    """Each section's name, with the words of its text and of its .TP tags."""
    sections = {}
    for part in re.split(r"(?m)^\.SH ", roff)[1:]:
        name, body = part.split("\n", 1)
        tags = re.findall(r"(?m)^\.TP\n\.\w+ (.*)$", body)
        sections[name.strip('"').split()[0]] = (words(body), words(" ".join(tags)))
    return sections


def slug(heading):
    """The anchor GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def prose(markdown):
    """The text outside code blocks and code spans."""
    markdown = re.sub(r"(?ms)^```.*?^```", "", markdown)
    markdown = re.sub(r"(?m)^ {4,}.*$", "", markdown)
    return re.sub(r"`[^`\n]*`", "", markdown)


def anchors(markdown):
    found = set()
    for heading in re.findall(r"(?m)^#{1,6}\s+(.*?)\s*$", prose(markdown)):
        anchor, n = slug(heading), 0
        while (anchor if n == 0 else "%s-%d" % (anchor, n)) in found:
            n += 1
        found.add(anchor if n == 0 else "%s-%d" % (anchor, n))
    return found


def main():
    options, keys = usage(sys.argv[1])
    readme, manual = readme_tables(read("README.md")), manual_sections(read("docs/skevla.1"))
    missing = []
    checks = [  # what, names, document, where, the words found there
        ("option", options, "README.md", "the Option table", readme.get("Option", set())),
        ("key", keys, "README.md", "the Key table", readme.get("Key", set())),
        ("option", options, "docs/skevla.1", "SYNOPSIS", manual["SYNOPSIS"][0]),
        ("option", options, "docs/skevla.1", "the OPTIONS entries", manual["OPTIONS"][1]),
        ("key", keys, "docs/skevla.1", "the KEYS entries", manual["KEYS"][1]),
    ]
    for what, names, document, where, found in checks:
        missing += ["%s: %s %s is not in %s" % (document, what, name, where)
                    for name in names if name not in found]

    for document in ["README.md"] + sorted(glob.glob("docs/*.md", root_dir=TOP)):
        for target in re.findall(r"\]\(([^)\s]+)", prose(read(document))):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue  # a URL, not checked here
            path, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(document), path or
                                                   os.path.basename(document)))
            if not os.path.isfile(os.path.join(TOP, linked)):
                missing.append("%s: link %s: no file %s" % (document, target, linked))
            elif anchor and anchor not in anchors(read(linked)):
                missing.append("%s: link %s: no heading #%s in %s" % (document, target, anchor,
                                                                        linked))

    missing = list(dict.fromkeys(missing))
    print("\n".join(missing) or "%d options, %d keys and every link found" % (len(options),
                                                                            len(keys)))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
