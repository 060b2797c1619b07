#!/usr/bin/env python3
"""Checks the Windows download, retriva-VERSION-windows-x64.zip: it holds
exactly README.txt, quorvex.exe, PgRes.dll, quorvex.chm and retriva.exe; the
programs carry no debug information; they import only DLLs that every
Windows has; the help file is a compiled HTML Help file with the start page.
Both programs' version resources carry the version retriva.exe --version
prints, which the zip's name carries too; SHA256SUMS beside the zip holds
its checksum.

The program file's own resources are only its icon (200), its string 1,
its manifest and its version; everything else lives in PgRes.dll.

Usage: check_windows_zip.py ZIP OBJDUMP WINDRES WINE_RUN
"""
import hashlib
import re
import os
import subprocess
import sys
import tempfile
import zipfile

# DLLs of every Windows installation (no C++ runtime, no UCRT forwarders).
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "comctl32.dll", "shell32.dll",
               "ole32.dll", "comdlg32.dll", "msvcrt.dll", "ntdll.dll", "gdiplus.dll"}  # GDI+: the preview's picture decoder


def main():
    zip_path, objdump, windres, wine_run = sys.argv[1:5]
    failed = 0

    def check(ok, what):
        nonlocal failed
        print(("ok     " if ok else "FAILED ") + what)
        failed += not ok

    with zipfile.ZipFile(zip_path) as z, tempfile.TemporaryDirectory() as tmp:
        names = sorted(z.namelist())
        check(names == sorted(["README.txt", "quorvex.exe", "PgRes.dll", "quorvex.chm", "retriva.exe",
                               "licences/LIBRARIES.txt", "licences/LGPL-3.txt", "licences/GPL-3.txt"]),
              f"the zip holds README.txt, quorvex.exe, PgRes.dll, quorvex.chm, retriva.exe ({names})")
        z.extractall(tmp)
        readme = open(os.path.join(tmp, "README.txt"), "rb").read().decode() if "README.txt" in names else ""
        check(all(f in readme for f in ("quorvex.exe", "PgRes.dll", "quorvex.chm", "retriva.exe")) and
              "another drive" in readme and "Run as administrator" in readme,
              "README.txt names the four files, another drive and Run as administrator")
        check("\n" not in readme.replace("\r\n", ""), "README.txt has Windows line ends")

        # The version: retriva.exe --version, the zip's name, both resources.
        exe = os.path.join(tmp, "retriva.exe")
        # The build's Wine prefix, not a new one beside the unpacked copy.
        prefix = os.environ.get("RETRIVA_WINEPREFIX") or os.environ.get("WINEPREFIX") or \
            os.path.join(os.path.dirname(os.path.abspath(zip_path)), "wineprefix")
        printed = subprocess.run([wine_run, exe, "--version"], capture_output=True, text=True,
                                 env=dict(os.environ, RETRIVA_WINEPREFIX=prefix)).stdout
        m = re.match(r"retriva (\S+)", printed)
        version = m.group(1) if m else None
        check(version is not None, f"retriva.exe --version prints its version ({printed.strip()!r})")
        check(os.path.basename(zip_path) == f"retriva-{version}-windows-x64.zip",
              f"the zip's name carries the version ({os.path.basename(zip_path)})")
        for name in ("quorvex.exe", "retriva.exe"):
            rc = subprocess.run([windres, "-i", os.path.join(tmp, name), "-O", "rc"], capture_output=True,
                                text=True).stdout
            numbers = re.search(r"^\s*FILEVERSION (\d+), ?(\d+), ?(\d+), ?(\d+)", rc, re.M)
            strings = set(re.findall(r'VALUE "(?:File|Product)Version", "([^"]*)', rc))
            want = (version or "").split(".") + ["0"] * 4
            check(numbers is not None and list(numbers.groups()) == want[:4] and strings == {version},
                  f"{name}'s version resource carries {version} ({numbers and numbers.groups()}, {strings})")

        sums = os.path.join(os.path.dirname(zip_path), "SHA256SUMS")
        with open(zip_path, "rb") as f:
            line = f"{hashlib.sha256(f.read()).hexdigest()}  {os.path.basename(zip_path)}\n"
        check(os.path.exists(sums) and open(sums).read() == line, "SHA256SUMS beside the zip holds its checksum")
        for name in ("quorvex.exe", "PgRes.dll", "retriva.exe"):
            path = os.path.join(tmp, name)
            if not os.path.exists(path):
                continue
            headers = subprocess.run([objdump, "-h", path], capture_output=True, text=True).stdout
            check(".debug" not in headers, f"{name} carries no debug sections")
            imports = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
            dlls = {l.split("DLL Name:")[1].strip().lower() for l in imports.splitlines() if "DLL Name:" in l}
            check(dlls <= SYSTEM_DLLS, f"{name} imports only system DLLs: {sorted(dlls) or 'none'}")
        exe = os.path.join(tmp, "quorvex.exe")
        if os.path.exists(exe):
            rc = subprocess.run([windres, "-i", exe, "-O", "rc"], capture_output=True, text=True).stdout
            kinds = sorted(set(re.findall(r"^/\* Type: ([^\n*]+?)\s*$", rc, re.M)))
            check(kinds == ["24", "group icon", "icon", "stringtable", "version"],
                  f"quorvex.exe holds only icons, strings, manifest and version ({kinds})")
            check(re.search(r"^200 14 ", rc, re.M) is not None and len(re.findall(r"RT_GROUP_ICON", rc)) == 1,
                  "its one icon is 200")
            table = re.findall(r"^\s+(\d+), \"", rc, re.M)
            check(table == ["1"], f"its string table holds string 1 only ({table})")
            check("Microsoft.Windows.Common-Controls" in rc and "dpiAware" in rc,
                  "its manifest asks for common controls 6 and DPI awareness")
        with open(os.path.join(tmp, "quorvex.chm"), "rb") as f:
            chm = f.read()
        check(chm[:4] == b"ITSF", "quorvex.chm is a compiled HTML Help file")
        check(b"/Quorvex_standalone.htm" in chm, "quorvex.chm holds the start page Quorvex_standalone.htm")
        for page in (b"/Use_Alternate_Location.htm", b"/Using_the_Retriva_From_Disk_Interface.htm"):
            check(page in chm, f"quorvex.chm holds {page.decode()[1:]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
