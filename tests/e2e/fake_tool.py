#!/usr/bin/python3
"""Stands in for an outside tool (curl, sed, killall, sftp, ...).

Records its argv, standard input, environment and open descriptors in $FAKE_DIR/NAME.calls
(one JSON object a line), then acts as $FAKE_DIR/NAME.json scripts it:
  {"exit": [codes per call, the last repeats], "stderr": [texts per call],
   "stdout": [texts per call], "shell": [a /bin/sh command per call],
   "background": [a /bin/sh command per call, started and not waited for],
   "real": "/usr/bin/curl", "timeout": seconds, "scan": true}
With "scan", it also records the argument list of every process running
(what any local user can read in /proc), to show what a secret left there.
A call whose exit code is null runs the real tool with the same argv and input,
killed after "timeout" seconds if given (exit 28, as curl's own time-out).
"""
import json
import os
import subprocess
import sys

name = os.path.basename(sys.argv[0])
folder = os.environ["FAKE_DIR"]
calls_path = os.path.join(folder, name + ".calls")
try:
    with open(os.path.join(folder, name + ".json")) as f:
        script = json.load(f)
except FileNotFoundError:
    script = {}

stdin = b"" if sys.stdin is None else sys.stdin.buffer.read()
fds = {}
for fd in os.listdir("/proc/self/fd"):
    try:
        fds[fd] = os.readlink("/proc/self/fd/" + fd)
    except OSError:
        pass  # the descriptor of the listing itself, closed by now
try:
    with open(calls_path) as f:
        index = sum(1 for _ in f)
except FileNotFoundError:
    index = 0
cmdlines = []
if script.get("scan"):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdlines.append(f.read().decode("utf-8", "surrogateescape"))
        except OSError:
            pass  # ended meanwhile
with open(calls_path, "a") as f:
    f.write(json.dumps({"argv": sys.argv, "stdin": stdin.decode("utf-8", "replace"),
                        "fds": fds, "cwd": os.getcwd(), "env": dict(os.environ),
                        "pid": os.getpid(), "cmdlines": cmdlines}) + "\n")


def pick(key, default):
    values = script.get(key, [default])
    return values[min(index, len(values) - 1)] if values else default


sys.stdout.write(pick("stdout", ""))
sys.stderr.write(pick("stderr", ""))
sys.stdout.flush()
sys.stderr.flush()
background = pick("background", "")
if background:
    subprocess.Popen(["/bin/sh", "-c", background], start_new_session=True,
                     stdin=subprocess.DEVNULL)
action = pick("shell", "")
if action:
    subprocess.run(["/bin/sh", "-c", action], check=False)
code = pick("exit", 0)
if code is None:
    try:
        # As a shell does, the real tool gets every descriptor this one
        # inherited: the files it is to read.
        code = subprocess.run([script["real"]] + sys.argv[1:], input=stdin, close_fds=False,
                              timeout=script.get("timeout")).returncode
    except subprocess.TimeoutExpired:
        code = 28
sys.exit(code)
