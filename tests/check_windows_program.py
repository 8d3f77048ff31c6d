#!/usr/bin/env python3
"""Reads back from a built Kestrin.exe, with MinGW-w64's objdump and windres,
what a release promises: its version resource, the embedded manifest, the
DLLs it needs, no link time in its header and, for a release build, no
symbols. Prints every failure and exits with 1 if there was one."""
import argparse
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

SYSTEM_DLLS = {"KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL", "USER32.DLL"}
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True,
                          env=dict(os.environ, TZ="UTC", LC_ALL="C")).stdout


def check(arguments):
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    headers = run(arguments.objdump, "-p", "-h", arguments.program)
    expect("file format %s\n" % arguments.format in headers, "not a %s program" % arguments.format)
    expect(re.search(r"\nSubsystem\s+00000003\s+\(Windows CUI\)", headers), "not a console program")
    expect("Time/Date\t\tThu Jan  1 00:00:00 1970" in headers, "a link time in the PE header")
    if arguments.stripped == "yes":
        expect("symbols stripped" in headers, "symbols not stripped")
        expect(" .debug_" not in headers, "debug sections")
    dlls = {dll.upper() for dll in re.findall(r"DLL Name: (\S+)", headers)}
    expect(dlls <= SYSTEM_DLLS, "needs DLLs beyond the system's: %s" % sorted(dlls - SYSTEM_DLLS))
    expect(not re.search(r"\sSetSystemTime\n", headers), "imports SetSystemTime")

    resources = run(arguments.windres, "-J", "coff", "-O", "rc", "-i", arguments.program)
    numbers = ", ".join((arguments.version.split(".") + ["0"] * 4)[:4])
    for field in ("FILEVERSION", "PRODUCTVERSION"):
        expect("\n %s %s\n" % (field, numbers) in resources, "%s is not %s" % (field, numbers))
    expect("\n FILETYPE 0x1\n" in resources, "not an application")
    expect("\n FILEFLAGS " not in resources, "flags (debug, prerelease) set")
    strings = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', resources))
    wanted = {"FileVersion": arguments.version, "ProductVersion": arguments.version,
              "ProductName": "Kestrin", "OriginalFilename": "Kestrin.exe"}
    for name, text in wanted.items():
        expect(strings.get(name) == text, "%s is %r, not %r" % (name, strings.get(name), text))
    expect(strings.get("FileDescription"), "no FileDescription")
    expect("2026 The Kestrin developers" in strings.get("LegalCopyright", ""),
           "LegalCopyright is %r" % strings.get("LegalCopyright"))

    manifest = re.search(r"\n1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)\nEND\n", resources, re.S)
    expect(manifest, "no manifest")
    if manifest:
        text = "".join(line.strip()[1:-1].replace('""', '"')
                       for line in manifest.group(1).splitlines())
        text = text.encode("latin-1").decode("unicode_escape")
        try:
            root = ET.fromstring(text)
        except ET.ParseError as error:
            # Windows refuses to start a program whose manifest is not well-formed.
            return failures + ["manifest: %s" % error]
        found = {e.get("Id") for e in root.iter(COMPATIBILITY + "supportedOS")}
        expect(found == SUPPORTED_OS, "supportedOS: %s" % sorted(found))
        settings = {e.tag.split("}")[1]: (e.text or "").strip() for e in root.iter()
                    if e.tag.endswith(("}longPathAware", "}activeCodePage"))}
        expect(settings == {"longPathAware": "true", "activeCodePage": "UTF-8"},
               "windowsSettings: %s" % settings)
        level = [e.attrib for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        expect(level == [{"level": "asInvoker", "uiAccess": "false"}],
               "requestedExecutionLevel: %s" % level)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("program")
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.0")
    parser.add_argument("--format", default="pei-i386", help="objdump's name of the file format")
    parser.add_argument("--stripped", choices=("yes", "no"), default="yes")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--windres", default="i686-w64-mingw32-windres")
    arguments = parser.parse_args()
    failures = check(arguments)
    for failure in failures:
        print("FAIL:", failure)
    print("%s: %s" % (arguments.program, "failed" if failures else "release checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
