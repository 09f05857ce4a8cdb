#!/usr/bin/env python3
"""Checks the version information and the application manifest of each Windows executable
given after the project version: check_version_manifest.py 1.0.0 repohost.exe Tarnwick.exe ...

Version information: one VERSIONINFO (id 1, language 1033) whose fixed and string versions are
the project's, with one string table "040904E4" (U.S. English, code page 1252) naming the product
"Korvane Repository", the file itself as original and internal name, and a description; its
translation 0x0409, 1252.
Manifest: one RT_MANIFEST, id 1, well-formed XML whose assembly identity carries the version and
the executable's own processor architecture, asking for the level asInvoker without UI access,
and declaring Windows 7, 8, 8.1 and 10/11 as supported."""
import os
import sys
import xml.etree.ElementTree as ET

import checks
import peresources

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
ARCHITECTURE = {0x14C: "x86", 0x8664: "amd64"}
PRODUCT_NAME = "Korvane Repository"


def four_numbers(version):
    numbers = [int(part) for part in version.split(".")]
    return numbers + [0] * (4 - len(numbers))


def check_version(path, pe, found, version):
    errors = []
    resources = peresources.of_type(found, peresources.RT_VERSION)
    if list(resources) != [(1, 1033)]:
        errors.append("version resources %r, not one of id 1, language 1033" % list(resources))
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = four_numbers(version)
    packed = [(numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]]
    for field in ("FileVersion", "ProductVersion"):
        got = [getattr(fixed, field + "MS"), getattr(fixed, field + "LS")]
        if got != packed:
            errors.append("fixed %s %#x,%#x, not %s" % (field, got[0], got[1], version))
    tables = [table for info in pe.FileInfo for entry in info if entry.Key == b"StringFileInfo"
              for table in entry.StringTable]
    translations = [var.entry.get(b"Translation") for info in pe.FileInfo for entry in info
                    if entry.Key == b"VarFileInfo" for var in entry.Var]
    if [table.LangID.upper() for table in tables] != [b"040904E4"]:
        errors.append("string tables %r, not 040904E4 alone" % [t.LangID for t in tables])
    if translations != ["0x0409 0x04e4"]:
        errors.append("translations %r, not 0x0409, 1252" % translations)
    name = os.path.basename(path)
    expected = {"FileVersion": version, "ProductVersion": version, "ProductName": PRODUCT_NAME,
                "OriginalFilename": name, "InternalName": os.path.splitext(name)[0]}
    strings = {key.decode(): value.decode("cp1252") for key, value in tables[0].entries.items()
               } if tables else {}
    for key, value in expected.items():
        if strings.get(key) != value:
            errors.append("%s %r, not %r" % (key, strings.get(key), value))
    if not strings.get("FileDescription"):
        errors.append("no FileDescription")
    return errors, strings


def check_manifest(pe, found, version):
    errors = []
    manifests = peresources.of_type(found, peresources.RT_MANIFEST)
    if [name for name, _ in manifests] != [1]:
        return ["manifests %r, not one of id 1" % list(manifests)], None
    try:
        root = ET.fromstring(next(iter(manifests.values())))
    except ET.ParseError as error:
        return ["manifest is not well-formed XML: %s" % error], None
    identity = root.find(ASM_V1 + "assemblyIdentity")
    quad = ".".join(str(n) for n in four_numbers(version))
    architecture = ARCHITECTURE.get(pe.FILE_HEADER.Machine)
    if identity is None:
        errors.append("no assemblyIdentity")
    else:
        for attribute, value in (("version", quad), ("processorArchitecture", architecture),
                                 ("type", "win32")):
            if identity.get(attribute) != value:
                errors.append("assemblyIdentity %s %r, not %r" % (attribute,
                                                                  identity.get(attribute), value))
    levels = root.findall(".//%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                          % ((ASM_V3,) * 4))
    if [(level.get("level"), level.get("uiAccess")) for level in levels] != [("asInvoker",
                                                                                 "false")]:
        errors.append("requestedExecutionLevel %r, not asInvoker without UI access"
                      % [level.attrib for level in levels])
    supported = [os_entry.get("Id", "").lower() for os_entry in
                 root.findall(".//%scompatibility/%sapplication/%ssupportedOS"
                              % ((COMPATIBILITY,) * 3))]
    if sorted(supported) != sorted(SUPPORTED_OS):
        errors.append("supportedOS %r, not %r" % (supported, sorted(SUPPORTED_OS)))
    return errors, architecture


def main(version, paths):
    errors = []
    for path in paths:
        pe, found = peresources.load(path)
        version_errors, strings = check_version(path, pe, found, version)
        manifest_errors, architecture = check_manifest(pe, found, version)
        errors += ["%s: %s" % (path, error) for error in version_errors + manifest_errors]
        print("%s: %s %s \"%s\", manifest %s asInvoker, %s" % (
            path, strings.get("ProductName"), strings.get("FileVersion"),
            strings.get("FileDescription"), architecture,
            ", ".join(SUPPORTED_OS.values())))
    return checks.report(errors)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
