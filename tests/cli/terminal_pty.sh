#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The CLI on a pseudo-terminal: Ctrl-C and Ctrl-D at prompts, the echo after a second Ctrl-C,
# SIGTERM and SIGHUP during a run, and a progress line that never outgrows 40 columns.
set -u
cli=$1
tools=$(dirname "$cli")
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-pty-XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LANGUAGE LC_ALL LC_MESSAGES LANG QUORVEX_PASSWORD
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
exec python3 - "$cli" "$tools" "$work" <<'PY'
import fcntl, os, pty, re, select, signal, struct, subprocess, sys, termios, time

cli, tools, work = sys.argv[1:4]
failures = []

def check(name, ok):
    if not ok:
        failures.append(name)
        print("FAIL:", name)

class Pty:
    """The CLI with stdin, stdout and stderr on a new terminal of the given width."""
    def __init__(self, args, columns=80, env=None):
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        def child_setup():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        self.proc = subprocess.Popen([cli] + args, stdin=self.slave, stdout=self.slave,
                                     stderr=self.slave, preexec_fn=child_setup, cwd=work,
                                     env=dict(os.environ, **(env or {})))
        self.output = b""

    def read_until(self, pattern, timeout=20.0):
        end = time.time() + timeout
        while not re.search(pattern, self.output):
            left = end - time.time()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    self.output += os.read(self.master, 65536)
                except OSError:
                    return False
        return True

    def send(self, data):
        os.write(self.master, data)

    def finish(self, timeout=30.0):
        end = time.time() + timeout
        while self.proc.poll() is None and time.time() < end:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    self.output += os.read(self.master, 65536)
                except OSError:
                    pass
        if self.proc.poll() is None:
            self.proc.kill()
        code = self.proc.wait()
        while select.select([self.master], [], [], 0.05)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                break
            if not chunk:
                break
            self.output += chunk
        return code

    def echo_on(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def close(self):
        os.close(self.master)
        os.close(self.slave)

def encrypt(path, password):
    subprocess.run([os.path.join(tools, "bench_restore"), "encrypt", path, path + ".enc", password],
                   check=True, stdout=subprocess.DEVNULL)
    os.remove(path)

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

PROMPT = rb"Password \(empty line"
QUESTION = rb"create\? \[Y/n\]"

# Ctrl-C at a question: Cancel at once, nothing created.
t = Pty(["-q", "dir", "--to", "new-dest", "."])
check("question shown", t.read_until(QUESTION))
t.send(b"\x03")
start = time.time()
code = t.finish(5)
check("Ctrl-C at a question exits 3 (got %s)" % code, code == 3)
check("Ctrl-C answers at once", time.time() - start < 3)
check("nothing created", not os.path.exists(os.path.join(work, "new-dest")))
t.close()

# Encrypted files in two folders: Ctrl-D cancels the first folder's prompt, the next prompt
# still reads the terminal.
have_writer = os.path.exists(os.path.join(tools, "bench_restore"))
if have_writer:
    for folder in ("enc/a", "enc/b"):
        write(os.path.join(work, folder, "s.txt"), b"secret text\n")
        encrypt(os.path.join(work, folder, "s.txt"), "pw")
    t = Pty(["-q", "-y", "dir", "--to", "r-ctrl-d", "enc"])
    check("first password prompt", t.read_until(PROMPT))
    t.send(b"\x04")
    check("second password prompt", t.read_until(PROMPT + rb".*" + PROMPT, 10) or
          t.output.count(b"Password (empty line") >= 2)
    t.send(b"pw\n")
    code = t.finish()
    restored = [f for f in ("a", "b") if os.path.exists(os.path.join(work, "r-ctrl-d", f, "s.txt"))]
    check("the prompt after Ctrl-D took the password (restored %s)" % restored, restored == ["b"])
    check("echo on after the prompts", t.echo_on())
    check("Ctrl-D in a folder: exit 3 (got %s)" % code, code == 3)
    check("Ctrl-D says what it left out", re.search(rb"1 skipped\r\nCancelled\.", t.output) is not None)
    t.close()

    # Ctrl-C at a folder's prompt is Stop: no further folder is asked for or restored.
    t = Pty(["-q", "-y", "dir", "--to", "r-ctrl-c-dir", "enc"])
    check("dir prompt before Ctrl-C", t.read_until(PROMPT))
    t.send(b"\x03")
    code = t.finish(10)
    check("Ctrl-C in dir: exit 3 (got %s)" % code, code == 3)
    check("Ctrl-C in dir: asked once", t.output.count(b"Password (empty line") == 1)
    check("Ctrl-C in dir: nothing restored", not os.path.exists(os.path.join(work, "r-ctrl-c-dir", "b")))
    check("Ctrl-C in dir: summary", re.search(rb"2 skipped\r\nStopped by user\.", t.output) is not None)
    t.close()

    # Ctrl-C at the password prompt cancels; twice at once still leaves the echo on.
    for keys in (b"\x03", b"\x03\x03"):
        t = Pty(["-q", "-y", "files", "--to", "r-ctrl-c", "enc/a/s.txt.enc"])
        check("prompt for %r" % keys, t.read_until(PROMPT))
        t.send(keys)
        code = t.finish(5)
        check("%r at the password prompt ends the run (got %s)" % (keys, code), code in (3, -signal.SIGINT))
        check("echo restored after %r" % keys, t.echo_on())
        t.close()

    # The prompt's own line breaks, and the given password offered again after a typed one.
    for name, password in (("a", "given"), ("b", "typed"), ("c", "given")):
        write(os.path.join(work, "enc3", name + ".txt"), name.encode() + b" text\n")
        encrypt(os.path.join(work, "enc3", name + ".txt"), password)
    t = Pty(["-q", "-y", "files", "--to", "r-given"] + ["enc3/%s.txt.enc" % n for n in "abc"],
            env={"QUORVEX_PASSWORD": "given"})
    check("prompt with real line breaks", t.read_until(
        rb"The password entered for file:\r\nenc3/b\.txt\.enc\r\nis invalid! Please try again!\r\n" + PROMPT))
    t.send(b"typed\n")
    code = t.finish()
    check("given, typed, given: exit 0 (got %s)" % code, code == 0)
    check("asked once", t.output.count(b"Password (empty line") == 1)
    restored = sorted(os.listdir(os.path.join(work, "r-given")))
    check("all three restored (%s)" % restored, restored == ["a.txt", "b.txt", "c.txt"])
    t.close()

# SIGTERM and SIGHUP during a run stop it: "Stopped by user.", exit 3, the rest not restored.
many = os.path.join(work, "many")
for i in range(6000):
    write(os.path.join(many, "d%02d" % (i % 50), "f%05d.txt" % i), b"x" * 100)
for sig in (signal.SIGTERM, signal.SIGHUP):
    dest = os.path.join(work, "r-%d" % sig)
    t = Pty(["-y", "dir", "--to", dest, "many"])
    check("progress before %s" % sig.name, t.read_until(rb"\[\d+/6000\]"))
    t.proc.send_signal(sig)
    code = t.finish()
    restored = sum(len(files) for _, _, files in os.walk(dest))
    check("%s exits 3 (got %s)" % (sig.name, code), code == 3)
    check("%s prints Stopped by user." % sig.name, b"Stopped by user." in t.output)
    check("%s stops early (%d restored)" % (sig.name, restored), restored < 6000)
    t.close()

# The progress line on a 40-column terminal, with names far longer than that.
long = os.path.join(work, "long", "a-folder-with-a-name-longer-than-the-terminal")
for i in range(300):
    write(os.path.join(long, "file-%04d-with-a-long-name-as-well.bin" % i), os.urandom(3000))
t = Pty(["-y", "dir", "--to", "r-long", "long"], columns=40)
code = t.finish()
check("40 columns: run ok (got %s)" % code, code == 0)
text = t.output.replace(b"\x1b[K", b"")
pieces = [p for p in re.split(rb"[\r\n]", text) if p]
progress = [p for p in pieces if re.match(rb"\[\d+/\d+\] ", p)]
check("40 columns: a progress line was drawn", len(progress) > 0)
widest = max(len(p.decode("utf-8", "replace")) for p in pieces)
check("40 columns: no line wider than 39 (widest %d)" % widest, widest <= 39)
check("40 columns: the name shortened from the left", any(b"...." not in p and b"..." in p for p in progress))
check("40 columns: summary on its own line", any(p == b"300 files copied" for p in pieces))
t.close()

sys.exit(1 if failures else 0)
PY
