#!/usr/bin/env python3
# Writes THIRD-PARTY-NOTICES.txt for quarnel.exe: the notices of the runtime
# code that the linker put into it, as the Debian packages it came from state
# them in their copyright files.
#
# Usage: sh packaging/linked-code quarnel.map | python3 packaging/notices.py OBJDUMP
#
# Each line of input is "PACKAGE FILE" or "PACKAGE ARCHIVE(MEMBER)". For a
# package whose copyright file is machine-readable (mingw-w64's), each object
# is traced to the source file it was compiled from, named in its debug
# information, and takes the notice of the last "Files:" paragraph that
# matches that file, as the format has it, and of any other that names the
# file itself (mingw_pformat.c carries two); an object without a source (an
# import stub, made from a list of a DLL's functions) takes that of
# "Files: *". GCC's
# runtime libraries come under its Runtime Library Exception, which asks for
# no notice: they are named with it. Code from any other package stops the
# run, since nobody has read its terms yet.
import re
import subprocess
import sys
from collections import defaultdict

GCC_EXCEPTION = "GCC RUNTIME LIBRARY EXCEPTION"


def paragraphs(path):
    # A machine-readable copyright file as a list of {field: value}, each
    # value's lines joined with "\n" and the first line's leading space gone.
    result = []
    for block in re.split(r"\n\s*\n", open(path, encoding="utf-8").read()):
        fields, name = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and name:
                fields[name] += "\n" + line
            elif ":" in line:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
        if fields:
            result.append(fields)
    return result


def glob_regex(pattern):
    # A "Files:" pattern: * matches any text, / included, and ? one character.
    return re.compile("".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in pattern) + r"\Z")


def sources(objdump, path):
    # {object name: the source file its debug information names}, for an
    # archive's members or for one object file.
    dump = subprocess.run([objdump, "--dwarf=info", "--dwarf-depth=1", path], capture_output=True, text=True,
                          check=True).stdout
    found, name = {}, None
    for line in dump.splitlines():
        header = re.match(r"(\S.*):\s+file format ", line)
        if header:
            name = header[1]
        elif name and name not in found and "DW_AT_name" in line:
            found[name] = line.split(": ")[-1].strip().removeprefix("./")
    return found


def package_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True, text=True,
                          check=True).stdout


def machine_readable_notices(objdump, copyright, objects):
    # The paragraphs of the copyright file that the objects fall under, in the
    # file's order, each with the sources (or libraries, for stubs) under it.
    all_paragraphs = paragraphs(copyright)
    files = [(i, f["Files"].split()) for i, f in enumerate(all_paragraphs) if "Files" in f]
    texts = {f["License"].split("\n")[0]: f["License"] for f in all_paragraphs if "Files" not in f and "License" in f}
    named = defaultdict(set)
    for archive in sorted({file for file, _ in objects}):
        traced = sources(objdump, archive)
        for file, member in objects:
            if file == archive:
                source = traced.get(member or archive, "")
                matching = [(i, source in patterns) for i, patterns in files
                            if any(glob_regex(p).match(source) for p in patterns)]
                for index, named_itself in matching:
                    if named_itself or index == matching[-1][0]:
                        named[index].add(source or "import stubs of " + archive.rsplit("/", 1)[-1])
    return ["Sources: " + ",\n ".join(sorted(named[index])) + "\n"
            + "Copyright: " + all_paragraphs[index]["Copyright"] + "\n"
            + "License: " + licence_text(all_paragraphs[index]["License"], texts, copyright) + "\n"
            for index in sorted(named)]


def licence_text(licence, texts, copyright):
    # A paragraph's licence with its text: its own, or that of each licence
    # it names, from the paragraphs that hold licence texts alone.
    if "\n" in licence:
        return licence
    names = re.split(r" (?:and|or) ", licence)
    missing = [name for name in names if name not in texts]
    if missing:
        sys.exit(f"notices: {copyright} gives no text for {', '.join(missing)}")
    return licence + "\n" + "\n .\n".join(texts[name].split("\n", 1)[1] for name in names)


def main():
    objdump = sys.argv[1]
    by_package = defaultdict(list)
    for line in sys.stdin.read().splitlines():
        package, obj = line.split(" ", 1)
        member = re.match(r"(.*)\((.*)\)\Z", obj)
        by_package[package].append((member[1], member[2]) if member else (obj, None))

    sections, gcc = [], []
    for package in sorted(by_package):
        copyright = f"/usr/share/doc/{package}/copyright"
        text = open(copyright, encoding="utf-8").read()
        if text.startswith("Format: "):
            title = f"{package} {package_version(package)}"
            sections.append(title + "\n" + "=" * len(title) + "\n\n"
                            + "\n".join(machine_readable_notices(objdump, copyright, by_package[package])))
        elif GCC_EXCEPTION in text:
            gcc.append(f"{package} {package_version(package)}")
        else:
            sys.exit(f"notices: {package} has code in quarnel.exe, and its copyright file is neither "
                     f"machine-readable nor under GCC's runtime exception: read it and say here what it asks")
    if gcc:
        title = "GCC's runtime libraries (libgcc, libstdc++)"
        sections.append(
            title + "\n" + "=" * len(title) + "\n\n"
            "Packages: " + ",\n ".join(gcc) + "\n"
            "Copyright: Free Software Foundation, Inc.\n"
            "License: GPL-3+ with the GCC Runtime Library Exception, version 3.1\n"
            " The exception lets a program compiled by GCC carry this code under\n"
            " terms of the program's own choice, and asks for no notice. Both\n"
            " texts are in /usr/share/doc/" + gcc[0].split()[0] + "/copyright on Debian.\n")

    print("Third-party notices for quarnel.exe\n"
          "===================================\n\n"
          "quarnel.exe is linked statically: besides quarnel's own code (see\n"
          "LICENSE) it carries runtime code of the compiler that built it, the\n"
          "mingw-w64 C runtime and GCC's runtime libraries. This file gives the\n"
          "notices of that code, as the copyright files of the Debian packages\n"
          "it came from state them, each with the sources that the linker took\n"
          "code from.\n")
    print("\n".join(sections), end="")


main()
