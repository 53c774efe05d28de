#!/usr/bin/python3
"""Kills gfx16conv encode, then gfx16-encode (in its own Xvfb), with a signal
while it writes the carrier of an 8000 x 8000 picture, and checks that the
output file that was there before is untouched and that no half-written file
has its name: the carrier goes to a temporary file first. Every signal that
can be caught, those that end a program by default (SIGINT, SIGQUIT, SIGUSR1,
a real-time one, ...) and those of a crash (SIGSEGV), must also leave no
temporary file behind; SIGKILL cannot be caught, and leaves its hidden
temporary.

    kill_while_saving.py BUILD_DIR

The temporary file is watched for from the moment it is created; the kill
comes once it holds some bytes but not all of them.
"""

import glob
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time

W = H = 8000
CARRIER_SIZE = 14 + 40 + 1024 + W * 2 * H
OLDER = b"the output that was there before\n"
failures = []


def fail(message):
    print("FAIL: " + message)
    failures.append(message)


def write_picture(path):
    stride = W * 3
    head = struct.pack("<2sIHHI", b"BM", 54 + stride * H, 0, 0, 54) + \
        struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, stride * H, 2835, 2835, 0, 0)
    rows = [bytes((x * 7 + y * 13) & 255 for x in range(stride)) for y in range(4)]
    with open(path, "wb") as f:
        f.write(head)
        for y in range(H):
            f.write(rows[y % 4])


def signal_name(sig):
    try:
        return signal.Signals(sig).name
    except ValueError:
        return "signal %d" % sig


def no_core_files():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def kill_while_writing(what, argv, folder, output, sig, env=None):
    with open(output, "wb") as f:
        f.write(OLDER)
    name = os.path.basename(output)
    pattern = os.path.join(folder, "." + name + ".*")
    proc = subprocess.Popen(argv, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            preexec_fn=no_core_files)
    temp = None
    seen_size = 0
    deadline = time.monotonic() + 300
    while proc.poll() is None and time.monotonic() < deadline:
        found = glob.glob(pattern)
        if found:
            try:
                seen_size = os.path.getsize(found[0])
            except OSError:
                seen_size = 0
            if 0 < seen_size < CARRIER_SIZE:
                temp = found[0]
                proc.send_signal(sig)
                break
        time.sleep(0.0005)
    if temp is None:
        proc.kill()
        proc.wait()
        fail("%s: never caught writing (exit status %s, stderr %r)"
             % (what, proc.returncode, proc.stderr.read().decode(errors="replace")))
        return
    written = seen_size
    proc.wait()
    what = "%s, %s" % (what, signal_name(sig))
    if proc.returncode != -sig:
        fail("%s: ended with %s before the signal landed" % (what, proc.returncode))
    with open(output, "rb") as f:
        if f.read() != OLDER:
            fail("%s: %s was changed" % (what, name))
    left = [p for p in os.listdir(folder) if name in p and p != name]
    expected = [os.path.basename(temp)] if sig == signal.SIGKILL else []
    if left != expected:
        fail("%s: expected %s beside %s, found %s" % (what, expected or "nothing", name, left))
    elif written >= CARRIER_SIZE:
        fail("%s: the temporary file was complete: no signal in the middle of writing" % what)
    else:
        print("ok: %s with %d of %d bytes of the carrier written; %s intact, %s"
              % (what, written, CARRIER_SIZE, name, "its temporary left" if left else "no temporary left"))
    for p in glob.glob(pattern):
        os.remove(p)


def start_xvfb(folder):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "xvfb.log"), "wb"))
    os.close(write_end)
    display = b""
    with os.fdopen(read_end, "rb") as r:
        while not display.endswith(b"\n"):
            chunk = r.read(1)
            if not chunk:
                break
            display += chunk
    if not display.strip():
        xvfb.kill()
        return None, None
    return xvfb, ":" + display.decode().strip()


def main(argv):
    build = os.path.abspath(argv[1])
    with tempfile.TemporaryDirectory() as folder:
        picture = os.path.join(folder, "test5.bmp")
        write_picture(picture)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1,
                    signal.SIGRTMIN + 1, signal.SIGSEGV, signal.SIGKILL):
            kill_while_writing("gfx16conv encode", [os.path.join(build, "gfx16conv"), "encode", picture, "out.bmp"],
                               folder, os.path.join(folder, "out.bmp"), sig)

        xvfb, display = start_xvfb(folder)
        if not xvfb:
            fail("gfx16-encode: cannot start Xvfb")
        else:
            try:
                env = dict(os.environ, DISPLAY=display)
                # The library puts handlers of its own on some signals.
                for sig in (signal.SIGTERM, signal.SIGQUIT, signal.SIGKILL):
                    kill_while_writing("gfx16-encode", [os.path.join(build, "gfx16-encode")], folder,
                                       os.path.join(folder, "output.bmp"), sig, env)
            finally:
                xvfb.terminate()
                xvfb.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
