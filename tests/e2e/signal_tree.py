#!/usr/bin/python3
"""signal_tree.py PID SIGNAL: sends SIGNAL (STOP, CONT...) to every descendant
of PID, so that a test stops the sessions of its own server and no other's."""
import os
import signal
import sys


def descendants(root):
    children = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                ppid = int(f.read().rsplit(") ", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue  # ended meanwhile
        children.setdefault(ppid, []).append(int(pid))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


number = getattr(signal, "SIG" + sys.argv[2])
for pid in descendants(int(sys.argv[1])):
    try:
        os.kill(pid, number)
    except ProcessLookupError:
        pass
