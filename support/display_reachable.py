"""Exit status 0 when the X display named by DISPLAY accepts a connection, 1 when not: the
demo's check on machines without xdpyinfo."""

import os
import socket
import sys

host, _, number = os.environ.get("DISPLAY", "").rpartition(":")
number = number.split(".")[0]
try:
    if host in ("", "unix"):
        with socket.socket(socket.AF_UNIX) as s:
            s.connect("/tmp/.X11-unix/X" + number)
    else:
        socket.create_connection((host, 6000 + int(number)), timeout=2).close()
except (OSError, ValueError):
    sys.exit(1)
