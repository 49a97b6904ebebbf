#!/usr/bin/env python3
"""End-to-end test of the Windows installer under Wine (a prefix and display prepared by
installer_test.sh, booted with the modem shim so that services can use pseudo-terminals).

    installer_test.py --setup EXE --bin-dir DIR --repo DIR --work DIR

1. A silent install into a folder with blanks: the programs, vmds.ini, README, uninstaller,
   Start-menu shortcut and the Programs and Features entry are there. The folder gets its own
   access list (Wine keeps none: a relay trace shows the calls and their results).
2. The installed manager's first start registers the master service and it runs; an instance
   "Lab 2" added and saved through the window runs too. Both carry recovery actions where this
   Wine keeps them.
3. A second silent install over the first keeps the edited vmds.ini and the instance, and starts
   the master service again after replacing its program.
4. While a handle keeps Lab 2's service registered (marked for deletion), the silent
   uninstaller removes nothing else and ends with 2: the instance, the programs, vmds.ini, the
   uninstaller, the shortcuts and the Programs and Features entry stay.
5. Run again once that service is gone, the silent uninstaller removes the master's service, the
   installed files and the listed instance directory, and leaves a foreign file and a listed name
   whose directory is not an instance's.
"""

import argparse
import os
import re
import select
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "server"))
sys.path.insert(0, os.path.join(here, "..", "manager"))
from vmds_e2e import (  # noqa: E402
    RUNNING, STOPPED, CheckFailed, PtyDevice, check, map_com, query_service, say,
    wait_service_state, wine)
from vmdsmgr_gui_test import (  # noqa: E402
    SAVED, Driver, check_bridge, check_no_service, check_ports_free, control_ids, image_path,
    ini_values, read_bytes, startup_lines, wait_ini)

FOLDER = "VMDS Plant Floor"
WIN_DIR = "C:\\Program Files\\" + FOLDER
MASTER_SERVICE = "Daltrimore_VMDS_Mstr"
LAB_SERVICE = "Daltrimore_VMDS_Lab_2"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora Device Server"
EVENT_SOURCE_KEY = ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                    "Velmora Device Server")
INSTALLED = ["VMDSMgr.exe", "vmds.exe", "vmdsremove.exe", "vmds.ini", "README.txt", "Uninstall.exe"]
RECOVERY = "reset=86400 actions=restart/60000,restart/60000,restart/60000 non_crash=1"
WINE_LACKS_RECOVERY = "QueryServiceConfig2A(FAILURE_ACTIONS) failed: 124"
FOLDER_ACCESS = "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
RELAY_CALLS = ["advapi32.ConvertStringSecurityDescriptorToSecurityDescriptorW",
               "advapi32.SetNamedSecurityInfoW"]


def write_batch(drive_c, name, line):
    """A batch file with one command line, for cmd (NSIS wants /D= and _?= unquoted and last,
    which a plain wine command line cannot give)."""
    with open(os.path.join(drive_c, name), "w", newline="\r\n") as f:
        f.write("@echo off\n" + line + "\nexit /b %errorlevel%\n")
    return "C:\\" + name


def run_batch(drive_c, name, line, seconds):
    return wine(seconds, "cmd", "/c", write_batch(drive_c, name, line))


def install_line(args):
    return f'C:\\setup\\{os.path.basename(args.setup)} /S /D={WIN_DIR}'


def install(args, drive_c, what):
    rc, out = run_batch(drive_c, "install.bat", install_line(args), 180)
    check(rc == 0, f"{what}: the silent install ended with 0", f"{rc} {out}")


def install_traced(args, drive_c):
    """The first install under a relay trace of the access-list calls; returns the trace."""
    rc, out = wine(30, "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t",
                   "REG_SZ", "/d", ";".join(RELAY_CALLS), "/f")
    check(rc == 0, "relay tracing of the access-list calls is set up", f"{rc} {out}")
    batch = write_batch(drive_c, "install.bat", install_line(args))
    done = subprocess.run(["timeout", "--kill-after=5", "180", "wine", "cmd", "/c", batch],
                          env={**os.environ, "WINEDEBUG": "+relay"}, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=195)
    check(done.returncode == 0, "first install: the silent install ended with 0",
          f"{done.returncode} {done.stdout.decode('latin-1')}")
    return done.stderr.decode("latin-1")


def check_folder_access(trace):
    """Wine keeps no folder access lists (it reads back one made up from the Unix mode): the
    trace shows that the installer builds the list and sets it on its folder, protected from
    inheritance, with success."""
    calls = [line for line in trace.splitlines() if any(name in line for name in RELAY_CALLS)]
    folder = WIN_DIR.replace("\\", "\\\\")  # the trace doubles backslashes
    convert = re.search(r"Call advapi32\.ConvertStringSecurityDescriptorToSecurityDescriptorW\("
                        r"[0-9a-f]+ L" + re.escape(f'"{FOLDER_ACCESS}"') + r",00000001,", trace)
    converted = re.search(r"Ret  advapi32\.ConvertStringSecurityDescriptorToSecurityDescriptorW"
                          r"\(\) retval=00000001 ", trace)
    # SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, a list.
    applied = re.search(r"Call advapi32\.SetNamedSecurityInfoW\([0-9a-f]+ L" +
                        re.escape(f'"{folder}"') +
                        r",00000001,80000004,00000000,00000000,0*[1-9a-f][0-9a-f]*,00000000\)",
                        trace)
    succeeded = re.search(r"Ret  advapi32\.SetNamedSecurityInfoW\(\) retval=00000000 ", trace)
    check(bool(convert and converted and applied and succeeded),
          "the installer gives its folder an access list of its own (Administrators and SYSTEM "
          "full control, Users read and execute, nothing inherited)", "\n".join(calls))


class ServiceHolder:
    """service_holder.exe keeping a handle to a service open until release()."""

    def __init__(self, exe, service, processes):
        self.service = service
        self.process = subprocess.Popen(["timeout", "--kill-after=5", "300", "wine", exe, service],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        processes.append(self.process)
        check(self.line(60) == f"holding {service}", f"a handle to {service} is held open")

    def line(self, seconds):
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        return self.process.stdout.readline().decode("latin-1").strip() if ready else ""

    def release(self):
        self.process.stdin.close()
        check(self.line(60) == f"released {self.service}" and self.process.wait(timeout=30) == 0,
              f"the handle to {self.service} is closed")


def reg_values(key):
    rc, out = wine(30, "reg", "query", key)
    values = {}
    for line in out.splitlines():
        parts = line.split(None, 2)
        if rc == 0 and len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2].strip()
    return rc, values


def check_recovery(service, recovery_exe):
    rc, out = wine(30, recovery_exe, service)
    if rc != 0 and WINE_LACKS_RECOVERY in out:
        say(f"note: this Wine keeps no recovery actions (QueryServiceConfig2A answers "
            f"ERROR_INVALID_LEVEL); {service} is registered and runs all the same")
        return
    check(rc == 0 and out.strip() == RECOVERY, f"{service} restarts a minute after a failure",
          f"{rc} {out.strip()}")


def check_entries(what, menu):
    rc, values = reg_values(UNINSTALL_KEY)
    check(os.path.isfile(os.path.join(menu, "Velmora Device Server - Instance Manager.lnk"))
          and os.path.isfile(os.path.join(menu, "Uninstall Velmora Device Server.lnk"))
          and values.get("DisplayVersion") == "4.0.0.84" and values.get("Publisher") == "Daltrimore"
          and values.get("UninstallString") == f'"{WIN_DIR}\\Uninstall.exe"', what, str(values))


def check_event_source(what):
    """The device servers' event source: messages from the installed vmds.exe, error, warning
    and information events."""
    rc, values = reg_values(EVENT_SOURCE_KEY)
    check(rc == 0 and values.get("EventMessageFile") == f"{WIN_DIR}\\vmds.exe"
          and values.get("TypesSupported") == "0x7", what, f"{rc} {values}")


def run(args, processes):
    ids = control_ids(args.repo)
    driver = Driver(os.path.join(args.bin_dir, "vmdsmgr_driver.exe"), ids)
    drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    folder = os.path.join(drive_c, "Program Files", FOLDER)
    master_ini = os.path.join(folder, "vmds.ini")
    master_log = os.path.join(folder, "vmds.log")
    lab_dir = os.path.join(folder, "Lab 2")
    menu = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                        "Velmora Device Server")
    os.makedirs(os.path.join(drive_c, "setup"))
    subprocess.run(["cp", args.setup, os.path.join(drive_c, "setup")], check=True)
    for tool in ("service_recovery.exe", "service_holder.exe"):
        subprocess.run(["cp", os.path.join(args.bin_dir, tool), os.path.join(drive_c, "setup")],
                       check=True)
    check_ports_free([6100, 6411])
    com1, com2 = PtyDevice(), PtyDevice()
    map_com(1, com1.path)
    map_com(2, com2.path)

    # ---- 1. Silent install ------------------------------------------------------------------
    check_folder_access(install_traced(args, drive_c))
    check(all(os.path.isfile(os.path.join(folder, f)) for f in INSTALLED),
          f"{', '.join(INSTALLED)} are in {WIN_DIR}", str(os.listdir(folder)))
    check(read_bytes(master_ini) == read_bytes(os.path.join(args.bin_dir, "vmds.ini")),
          "the installed vmds.ini is the shipped first-run file")
    check_entries("the Start menu has the shortcuts, and Programs and Features lists version, "
                  "publisher and uninstaller", menu)
    check_event_source("the installer registered the event source")
    # The manager registers it again with the master service: taken away here to see that.
    rc, out = wine(30, "reg", "delete", EVENT_SOURCE_KEY, "/f")
    check(rc == 0 and reg_values(EVENT_SOURCE_KEY)[0] != 0, "the event source taken away", out)

    # ---- 2. The installed manager: the master service, then an instance -----------------------
    manager = subprocess.Popen(["timeout", "--kill-after=5", "300", "wine",
                                WIN_DIR + "\\VMDSMgr.exe"], cwd=args.work,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    processes.append(manager)
    driver.run("wait-main", 60, seconds=60)
    wait_service_state(MASTER_SERVICE, RUNNING, 30)
    check_event_source("the manager registered the event source with the master service")
    check(image_path(MASTER_SERVICE) == f'"{WIN_DIR}\\vmds.exe"',
          "the master service runs the installed vmds.exe", repr(image_path(MASTER_SERVICE)))
    wait_ini(master_ini, "the first start wrote FirstTimeRun=False",
             lambda v: v.get("FirstTimeRun") == "False" and v.get("InstallDir") == WIN_DIR)
    driver.fill_add_dialog("Lab 2", "6411", "COM2")
    driver.click("CREATE_INSTANCE")
    driver.wait_state("Lab 2 added and selected", lambda s: not s.open("add") and
                      s.rows[-1][0] == "Lab 2" and s.enabled("SAVE"))
    driver.click("SAVE")
    driver.expect_message(SAVED, "OK")
    wait_service_state(LAB_SERVICE, RUNNING, 30)
    check_bridge(6411, com2, "lab-2")
    driver.run("close")
    driver.run("wait-gone", 20, seconds=20)
    manager.wait(timeout=20)
    for service in (MASTER_SERVICE, LAB_SERVICE):
        check_recovery(service, "C:\\setup\\service_recovery.exe")

    # ---- 3. Upgrade over it -----------------------------------------------------------------
    edited = read_bytes(master_ini).replace(b"IdleTimeout=120\r\n", b"IdleTimeout=121\r\n")
    with open(master_ini, "wb") as f:
        f.write(edited)
    starts = startup_lines(master_log)
    install(args, drive_c, "second install")
    check(read_bytes(master_ini) == edited, "the second install kept the edited vmds.ini")
    check(os.path.isfile(os.path.join(lab_dir, "vmds.ini")), "and the instance Lab 2")
    wait_service_state(MASTER_SERVICE, RUNNING, 30)
    check(startup_lines(master_log) == starts + 1,
          "the master service was stopped for the upgrade and started again",
          f"{starts} -> {startup_lines(master_log)}")
    check(query_service(LAB_SERVICE)[0] == RUNNING, "Lab 2's service kept running")

    # ---- 4. Uninstall while a service stays registered ---------------------------------------
    # In place (_?=), so that the batch waits for the uninstaller and gets its exit code.
    holder = ServiceHolder("C:\\setup\\service_holder.exe", LAB_SERVICE, processes)
    rc, out = run_batch(drive_c, "uninstall.bat",
                        f'"{WIN_DIR}\\Uninstall.exe" /S _?={WIN_DIR}', 240)
    check(rc == 2, "the uninstaller ends with 2 while Lab 2's service stays registered",
          f"{rc} {out}")
    check_no_service(MASTER_SERVICE)
    check(query_service(LAB_SERVICE)[0] is not None, "Lab 2's service is still registered")
    check(all(os.path.isfile(os.path.join(folder, f)) for f in INSTALLED),
          "the programs, vmds.ini and the uninstaller stay", str(os.listdir(folder)))
    check(os.path.isfile(os.path.join(lab_dir, "vmds.ini")), "and the instance Lab 2")
    check_entries("the shortcuts and the Programs and Features entry stay", menu)
    check_event_source("the event source stays for the services still registered")
    holder.release()
    check_no_service(LAB_SERVICE)

    # ---- 5. Uninstall -----------------------------------------------------------------------
    # A foreign file, and a listed name whose directory holds no instance of that name.
    with open(os.path.join(folder, "site notes.txt"), "w") as f:
        f.write("the administrator's own file\n")
    os.makedirs(os.path.join(folder, "Data"))
    with open(os.path.join(folder, "Data", "keep.csv"), "w") as f:
        f.write("1,2,3\n")
    values = ini_values(master_ini)
    check(values.get("InstanceNamesList") == "Lab 2", "vmds.ini lists Lab 2", str(values))
    listed = read_bytes(master_ini).replace(b"InstanceNamesList=Lab 2\r\n",
                                            b"InstanceNamesList=Lab 2%Data\r\n")
    with open(master_ini, "wb") as f:
        f.write(listed)
    # The uninstaller copies itself to the temp folder and runs from there: wait until it has
    # deleted its own program and the Programs and Features entry.
    rc, out = run_batch(drive_c, "uninstall.bat", f'"{WIN_DIR}\\Uninstall.exe" /S', 60)
    check(rc == 0, "the silent uninstaller started", f"{rc} {out}")
    deadline = time.monotonic() + 240
    while os.path.exists(os.path.join(folder, "Uninstall.exe")) or reg_values(UNINSTALL_KEY)[0] == 0:
        if time.monotonic() >= deadline:
            raise CheckFailed("the uninstaller did not finish within 240 s "
                              f"({sorted(os.listdir(folder))})")
        time.sleep(0.5)  # the next look at the folder, not a synchronisation
    check_no_service(MASTER_SERVICE)
    check_no_service(LAB_SERVICE)
    check(not os.path.exists(lab_dir), "the instance directory Lab 2 is gone")
    left = sorted(os.listdir(folder))
    check(left == ["Data", "site notes.txt"],
          "only the foreign file and the non-instance directory are left", str(left))
    check(os.listdir(os.path.join(folder, "Data")) == ["keep.csv"], "Data keeps its file")
    check(not os.path.exists(menu), "the Start-menu folder is gone")
    check(reg_values(EVENT_SOURCE_KEY)[0] != 0, "the event source is gone")
    for device in (com1, com2):
        device.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup", required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--repo", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    processes = []
    try:
        run(args, processes)
    except CheckFailed as failure:
        say(f"FAILED: {failure}")
        return 1
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    say("installer test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
