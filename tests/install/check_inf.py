#!/usr/bin/env python3
"""Checks zelkor.inf the way setupapi reads it, and holds it to the rules of a
class filter that can be taken out again without harm.

    check_inf.py INF [VERSION]

Syntax: every line is blank, a comment, a [section] header or a line inside a
section; no section twice; every %string% defined; every section that a
directive names exists. Policy: each of the six classes has an install and an
uninstall section; an install only appends "zelkor" to its class's
UpperFilters (FLG_ADDREG_TYPE_MULTI_SZ | FLG_ADDREG_APPEND), an uninstall only
deletes that string (FLG_DELREG_MULTI_SZ_DELSTRING), both on the class's own
key; nothing else under the Class keys is written or deleted; the disk and
CD-ROM sections install the service to start with the boot drivers, every other
section (the service-only Zelkor.Service.Install among them) to start on demand
without changing the start type of a service that exists (so none takes the boot
start away from the disks); the service-only section writes no registry value;
DefaultUninstall takes the filter out of every class before it deletes the
service. Given the build's VERSION (1.13.0), DriverVer must carry it. Prints one line per finding and exits 1 on any."""

import re
import sys

CLASSES = {
    "Disk": "{4d36e967-e325-11ce-bfc1-08002be10318}",
    "CdRom": "{4d36e965-e325-11ce-bfc1-08002be10318}",
    "Usb": "{36fc9e60-c465-11cf-8056-444553540000}",
    "Ieee1394": "{6bdd1fc1-810f-11d0-bec7-08002be2092f}",
    "Keyboard": "{4d36e96b-e325-11ce-bfc1-08002be10318}",
    "Mouse": "{4d36e96f-e325-11ce-bfc1-08002be10318}",
}
BOOT_CLASSES = ("Disk", "CdRom")
SPSVCINST_NOCLOBBER_STARTTYPE = 0x20
ADDREG_APPEND_MULTI_SZ = 0x00010008
DELREG_MULTI_SZ_DELSTRING = 0x00018002
SECTION_DIRECTIVES = ("copyfiles", "addreg", "delreg", "delfiles")

findings = []


def finding(line, text):
    findings.append(f"{line}: {text}" if line else text)


def strip_comment(text):
    out, quoted = [], False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            break
        out.append(ch)
    if quoted:
        return None
    return "".join(out).strip()


def parse(path):
    sections = {}  # lower name -> (name, [(line, text)])
    current = None
    with open(path, encoding="utf-8") as f:
        raw = f.read()
    if raw.startswith("\ufeff"):
        raw = raw[1:]
    for number, line in enumerate(raw.splitlines(), 1):
        text = strip_comment(line)
        if text is None:
            finding(number, "unbalanced quote")
            continue
        if not text:
            continue
        m = re.fullmatch(r"\[([^\[\]]+)\]", text)
        if m:
            name = m.group(1).strip()
            if name.lower() in sections:
                finding(number, f"section [{name}] appears twice")
            current = name.lower()
            sections.setdefault(current, (name, []))
            continue
        if text.startswith("["):
            finding(number, f"malformed section header: {text}")
            continue
        if current is None:
            finding(number, "a line outside any section")
            continue
        sections[current][1].append((number, text))
    return sections


def key_value(text):
    if "=" not in text:
        return None, text
    key, value = text.split("=", 1)
    return key.strip().lower(), value.strip()


def fields(value):
    return [f.strip().strip('"') for f in value.split(",")]


def main(path, version=None):
    sections = parse(path)

    def lines(name):
        return sections.get(name.lower(), (name, []))[1]

    def directive(section, key):
        return [(n, fields(v)) for n, t in lines(section) for k, v in [key_value(t)] if k == key]

    strings = {}
    for number, text in lines("Strings"):
        key, value = key_value(text)
        if key is None:
            finding(number, f"[Strings] line without a value: {text}")
        else:
            strings[key] = value.strip('"')

    def expand(text):
        return re.sub(r"%([^%]+)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), text)

    for lower, (name, body) in sections.items():
        for number, text in body:
            for ref in re.findall(r"%([^%]*)%", text):
                if ref and not ref.isdigit() and ref.lower() not in strings:
                    finding(number, f"%{ref}% is not defined in [Strings]")
            key, value = key_value(text)
            if key in SECTION_DIRECTIVES:
                for target in fields(value):
                    if target.lower() not in sections:
                        finding(number, f"[{name}] names section [{target}], which does not exist")
            if key in ("addservice", "delservice"):
                parts = fields(value)
                if key == "addservice" and (len(parts) < 3 or parts[2].lower() not in sections):
                    finding(number, f"[{name}] AddService names no existing service-install section")

    if "signature" not in {key_value(t)[0] for _, t in lines("Version")}:
        finding(0, "[Version] has no Signature")
    if version:
        driver_ver = [(n, v) for n, t in lines("Version") for k, v in [key_value(t)] if k == "driverver"]
        want = ".".join((version.split(".") + ["0"] * 4)[:4])
        for number, value in driver_ver or [(0, "")]:
            if fields(value)[-1] != want:
                finding(number, f"DriverVer is '{value}', not the build's version {want}")
    files = {(key_value(t)[0] or t).lower() for _, t in lines("SourceDisksFiles")}
    for section in ("Zelkor.Files",):
        for number, text in lines(section):
            if text.lower() not in files:
                finding(number, f"{text} is copied but not listed in [SourceDisksFiles]")

    service = strings.get("servicekey", "")
    class_key = strings.get("classkey", "").lower()
    if service != "zelkor":
        finding(0, f"ServiceKey is '{service}', not zelkor")

    def registry_lines(section):
        out = []
        for number, text in lines(section):
            parts = [expand(p) for p in fields(text)]
            out.append((number, parts))
        return out

    def check_start(cls, section):
        services = directive(section, "addservice")
        if not services:
            finding(0, f"{cls}: [{section}] installs no service")
        for number, parts in services:
            start = {key_value(t)[0]: key_value(t)[1] for _, t in lines(parts[2])}.get("starttype", "").split()[0:1]
            flags = int(parts[1] or "0", 0)
            if cls in BOOT_CLASSES:
                # A class filter of the boot disk must be loaded with it.
                if start != ["0"]:
                    finding(number, f"{cls}: the service must start with the boot drivers (StartType 0)")
            elif start != ["3"] or not flags & SPSVCINST_NOCLOBBER_STARTTYPE:
                # Installed after the disks' section, it must not lower their start type.
                finding(number, f"{cls}: the service must start on demand (StartType 3) and keep an existing "
                                "service's start type (flag 0x20)")

    # Every registry line of the file, to find writes that are not ours.
    written = set()
    for cls, guid in CLASSES.items():
        install, uninstall = f"Zelkor.{cls}.Install", f"Zelkor.{cls}.Uninstall"
        for section in (install, f"{install}.Services", uninstall):
            if section.lower() not in sections:
                finding(0, f"class {cls}: no [{section}]")
        expected_key = f"{class_key}\\{guid}"
        for kind, sec_key, flag in (("AddReg", install, ADDREG_APPEND_MULTI_SZ),
                                    ("DelReg", uninstall, DELREG_MULTI_SZ_DELSTRING)):
            targets = [t for _, fs in directive(sec_key, kind.lower()) for t in fs]
            if not targets:
                finding(0, f"class {cls}: [{sec_key}] has no {kind}")
            for target in targets:
                written.add(target.lower())
                for number, parts in registry_lines(target):
                    root, key = parts[0].upper(), parts[1].lower() if len(parts) > 1 else ""
                    if root != "HKLM" or key != expected_key:
                        finding(number, f"class {cls}: [{target}] writes {root}\\{key}, not its class key")
                    if len(parts) < 5 or parts[2] != "UpperFilters":
                        finding(number, f"class {cls}: [{target}] does not name UpperFilters with a value")
                        continue
                    try:
                        value = int(parts[3], 0)
                    except ValueError:
                        finding(number, f"class {cls}: flags '{parts[3]}' are not a number")
                        continue
                    if value != flag:
                        finding(number, f"class {cls}: {kind} flags 0x{value:08X}, expected 0x{flag:08X} "
                                        "(append / delete one string, never replace the list)")
                    if parts[4] != service:
                        finding(number, f"class {cls}: the string is '{parts[4]}', not '{service}'")
        check_start(cls, f"{install}.Services")

    if "zelkor.service.install" not in sections:
        finding(0, "no service-only section [Zelkor.Service.Install]")
    else:
        check_start("Service", "Zelkor.Service.Install.Services")
        for number, (k, v) in [(n, key_value(t)) for n, t in lines("Zelkor.Service.Install")]:
            if k != "copyfiles":
                finding(number, f"[Zelkor.Service.Install] has {k}: the service-only section copies the image, nothing else")

    uninstall_all = {t.lower() for _, fs in directive("DefaultUninstall", "delreg") for t in fs}
    for cls in CLASSES:
        if f"zelkor.{cls}.delfilter".lower() not in uninstall_all:
            finding(0, f"DefaultUninstall leaves the filter in the {cls} class")
    if not directive("DefaultUninstall.Services", "delservice"):
        finding(0, "DefaultUninstall does not delete the service")

    for lower, (name, body) in sections.items():
        for number, text in body:
            key, value = key_value(text)
            if key in ("addreg", "delreg"):
                for target in fields(value):
                    if target.lower() not in written:
                        finding(number, f"[{name}] writes [{target}], which is no class's filter entry")

    for line in findings:
        print(f"{path}:{line}")
    print(f"{path}: {len(sections)} sections, {len(findings)} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
