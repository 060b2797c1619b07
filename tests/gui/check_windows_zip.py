#!/usr/bin/env python3
"""Checks the Windows download, retriva-windows-x64.zip: it holds exactly
quorvex.exe, PgRes.dll, quorvex.chm and retriva.exe; the programs carry no
debug information; they import only DLLs that every Windows has; the help
file is a compiled HTML Help file with the start page.

Usage: check_windows_zip.py ZIP OBJDUMP
"""
import os
import subprocess
import sys
import tempfile
import zipfile

# DLLs of every Windows installation (no C++ runtime, no UCRT forwarders).
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "comctl32.dll", "shell32.dll",
               "ole32.dll", "comdlg32.dll", "msvcrt.dll", "ntdll.dll"}


def main():
    zip_path, objdump = sys.argv[1], sys.argv[2]
    failed = 0

    def check(ok, what):
        nonlocal failed
        print(("ok     " if ok else "FAILED ") + what)
        failed += not ok

    with zipfile.ZipFile(zip_path) as z, tempfile.TemporaryDirectory() as tmp:
        names = sorted(z.namelist())
        check(names == sorted(["quorvex.exe", "PgRes.dll", "quorvex.chm", "retriva.exe"]),
              f"the zip holds quorvex.exe, PgRes.dll, quorvex.chm, retriva.exe ({names})")
        z.extractall(tmp)
        for name in ("quorvex.exe", "PgRes.dll", "retriva.exe"):
            path = os.path.join(tmp, name)
            if not os.path.exists(path):
                continue
            headers = subprocess.run([objdump, "-h", path], capture_output=True, text=True).stdout
            check(".debug" not in headers, f"{name} carries no debug sections")
            imports = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
            dlls = {l.split("DLL Name:")[1].strip().lower() for l in imports.splitlines() if "DLL Name:" in l}
            check(dlls <= SYSTEM_DLLS, f"{name} imports only system DLLs: {sorted(dlls) or 'none'}")
        with open(os.path.join(tmp, "quorvex.chm"), "rb") as f:
            chm = f.read()
        check(chm[:4] == b"ITSF", "quorvex.chm is a compiled HTML Help file")
        check(b"/Quorvex_standalone.htm" in chm, "quorvex.chm holds the start page Quorvex_standalone.htm")
        for page in (b"/Use_Alternate_Location.htm", b"/Using_the_Retriva_From_Disk_Interface.htm"):
            check(page in chm, f"quorvex.chm holds {page.decode()[1:]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
