#!/usr/bin/python3
"""logind's inhibitor around whole updates of the simulated drive on the terminal face, python-dbusmock's
logind on a private system bus.  Usage: logind_inhibitor.py FLASHUTIL_SIM SOURCE_DIR"""
import os, shutil, subprocess, sys, tempfile, time
import dbusmock

SIM, SOURCE = sys.argv[1:3]
WORK = tempfile.mkdtemp(prefix="logind-inhibitor-")
ENV = {k: v for k, v in os.environ.items() if k in ("PATH", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
failures = []

def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    failures.extend([] if ok else [what])

def wait_for(condition, seconds=60):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.05)
    return condition()

try:
    [shutil.copy(file, WORK) for file in (SIM, f"{SOURCE}/samples/firmware/1A2B.BIN")]
    shutil.copy(f"{SOURCE}/samples/models.ini", f"{WORK}/flashutil-sim.INI")
    subprocess.run(["./flashutil-sim"], cwd=WORK, env=ENV, input="1\nb\nq\n", text=True, stdout=subprocess.DEVNULL)
    dbusmock.DBusTestCase.start_system_bus()
    logind = dbusmock.DBusTestCase.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)[1]
    bus = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
    held = [("sleep:shutdown:idle:handle-lid-switch", "1A2B.EXE", "Firmware update in progress, do not turn off",
             "block", "1000", "123456")]  # the mock's own user and process
    slow_commit = "fault1 = delay 3B control=80 ms=3000\nfault2 = delay 3B control=A0 ms=3000\n"
    line = "The system {} during the update ({}); the update goes on.\n"
    # Each run: 1A2B.EXE confirmed, FLASH, Yes. The inhibitor is looked at when the slow command has begun, and
    # when the drive list is back; a failing commit is made slow in its read-back.
    for run, address, faults, slow, end, said in [
            ("update", bus, slow_commit, "Flash is in progress...", "Status: Flash Completed.", ""),
            ("failed", bus, "fault1 = delay 3C ms=3000\nfault2 = commitfailure\n", "Read back and Verify",
             "Write Buffer> 04 44 00", ""),
            ("refused", bus, "", None, "Status: Flash Completed.",
             line.format("refused to stay awake", "Access denied")),
            ("no-bus", f"unix:path={WORK}/none", "", None, "Status: Flash Completed.",
             line.format("could not be asked to stay awake", "the system bus: No such file or directory"))]:
        if run == "refused":
            logind.AddMethod("org.freedesktop.login1.Manager", "Inhibit", "ssss", "h",
                             'raise dbus.exceptions.DBusException("Access denied", '
                             'name="org.freedesktop.DBus.Error.AccessDenied")', dbus_interface=dbusmock.MOCK_IFACE)
        with open(f"{WORK}/simdrives.ini", "w") as ini:
            ini.write(f"[drives]\nlist = cdrw\n[cdrw]\nstate = {run}.simstate\n{faults}")
        process = subprocess.Popen(["./1A2B.EXE"], cwd=WORK, env=dict(ENV, DBUS_SYSTEM_BUS_ADDRESS=address),
                                   text=True, stdin=subprocess.PIPE, stdout=open(f"{WORK}/{run}.out", "w"),
                                   stderr=open(f"{WORK}/{run}.err", "w"))
        process.stdin.write("y\nf\ny\n" + ("\n" if "commitfailure" in faults else ""))  # and the error box
        process.stdin.flush()
        text = lambda stream="out": open(f"{WORK}/{run}.{stream}").read()
        inhibitors = lambda: [tuple(str(field) for field in inhibitor)
                              for inhibitor in logind.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")]
        if slow:
            began, now = wait_for(lambda: slow in text()), inhibitors()
            check(began and now == held, f"{run}: held: {now}")
        check(wait_for(lambda: end in text() and text().count("Commands: f FLASH") == 2)
              and wait_for(lambda: inhibitors() == [], 5), f"{run}: {end}, the drive list, none held")
        process.communicate("q\n", timeout=60)
        check(process.returncode == 0 and text("err") == said, f"{run}: exit 0, stderr {text('err')!r}")
finally:
    dbusmock.DBusTestCase.tearDownClass()
    shutil.rmtree(WORK, ignore_errors=True)
sys.exit(1 if failures else 0)
