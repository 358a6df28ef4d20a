#!/usr/bin/python3
"""The application as a desktop session meets it: the real program on an X
display with the accessibility bus, driven and heard through AT-SPI as a
screen reader does, then ended by SIGTERM in the middle of a run.

Run by CTest inside dbus-run-session and xvfb-run:
    session.py APP STUB_SERVER ICON_PNG
"""
import os, shutil, signal, subprocess, sys, tempfile, threading, time

import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib

app, stub_server, icon = sys.argv[1:4]
icons_total = 200


def check(ok, what):
    if not ok:
        sys.exit("FAIL: " + what)


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        check(time.monotonic() < deadline, "timed out waiting for " + what)
        GLib.MainContext.default().iteration(False)
        time.sleep(0.01)


# --help and --version print and end without a display; a FOLDER that is no folder is refused.
bare = dict(os.environ, DISPLAY="", QT_QPA_PLATFORM="offscreen")
for args, code, text in ([["--version"], 0, "velk-icon-uploader 1."], [["--help"], 0, "[FOLDER]"],
                         [["/nonexistent"], 2, "not a folder: /nonexistent"]):
    done = subprocess.run([app] + args, capture_output=True, text=True, env=bare, timeout=20)
    check(done.returncode == code and text in done.stdout + done.stderr, "%s printed %r" % (args, done))

home = tempfile.mkdtemp()
folder = os.path.join(home, "Icons")
os.makedirs(folder)
os.makedirs(os.path.join(home, "Desktop"))
for i in range(icons_total):
    shutil.copy(icon, os.path.join(folder, "icon%03d.png" % i))
stub = subprocess.Popen([stub_server], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
url = stub.stdout.readline().split()[-1]
uploads = []
threading.Thread(target=lambda: [uploads.append(line) for line in stub.stderr if line.startswith("POST /api/v1/icon ")],
                 daemon=True).start()
os.makedirs(os.path.join(home, ".config", "Velk"))
with open(os.path.join(home, ".config", "Velk", "velk-icon-uploader.conf"), "w") as settings:
    settings.write("[General]\nvelkURL=%s\nclientID=id\nclientSecret=secret\n" % url)

heard = []
listener = Atspi.EventListener.new(lambda event: heard.append((event.source.get_role_name(), event.source.get_name())))
listener.register("object:state-changed:showing")
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), QT_QPA_PLATFORM="xcb",
           QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", no_proxy="127.0.0.1")
program = subprocess.Popen([app, folder], env=env)


def find(role, name=None):
    found = []

    def walk(node):
        if node.get_role_name() == role and name in (None, node.get_name()):
            found.append(node)
        for i in range(node.get_child_count()):
            walk(node.get_child_at_index(i))
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        child = desktop.get_child_at_index(i)
        if child is not None and child.get_process_id() == program.pid:
            walk(child)
    return found[0] if found else None


wait_for(lambda: find("push button", "Upload Icons"), "the window")
upload = find("push button", "Upload Icons")
upload.do_action(0)
bar = find("progress bar")
stop = find("push button", "Stop")
wait_for(lambda: bar.get_description().endswith(" of %d icons uploaded" % icons_total), "the progress text")
check(stop.get_state_set().contains(Atspi.StateType.SHOWING), "no Stop button during a run")
# The end is spoken wherever the focus is.
wait_for(lambda: any(role == "notification" and name.startswith("Upload complete. Uploaded %d " % icons_total)
                     for role, name in heard), "the end of the run to be announced")

# A termination signal mid-run stops it between files; the report is written and the program ends.
uploads.clear()
upload.do_action(0)
wait_for(lambda: len(uploads) >= 2, "the second run's uploads")
program.send_signal(signal.SIGTERM)
try:
    code = program.wait(timeout=5)
except subprocess.TimeoutExpired:
    program.kill()
    check(False, "the program did not end within 5 s of SIGTERM")
stub.kill()
check(code == 0, "exit status %d after SIGTERM" % code)
with open(os.path.join(home, "Desktop", "velk_icon_upload_results.csv")) as report:
    rows = len(report.readlines()) - 1
check(2 <= rows < icons_total, "%d icons in the report of the stopped run" % rows)
shutil.rmtree(home)
print("session: ok (%d of %d icons reported after SIGTERM)" % (rows, icons_total))
