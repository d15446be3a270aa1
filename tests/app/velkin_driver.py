"""Drives velkin.exe under Wine on an X display and reads what it leaves
behind. Shared by the end-to-end tests and the benchmarks.

Environment: VELKIN_BIN, the build's bin folder (velkin.exe, ASIOHOST.dll,
window_probe.exe); VELKIN_WORK, a scratch folder for working folders;
VELKIN_WINE, the Wine loader; DISPLAY and WINEPREFIX ready for use."""

import array
import collections
import contextlib
import ctypes
import ctypes.util
import math
import os
import shutil
import struct
import subprocess
import sys
import threading
import time
import wave
import zipfile

TITLE = "Velkin v1.08 XP"
# 20 log10(32767) less the default attenuation of 3 dB.
AMPLITUDE = 10 ** ((90.30873362283398 - 3.0) / 20)
# The first samples of every tone at 44100 Hz, 1000 Hz and a 10 ms rise.
RISE_START = [0, 0, 1, 2, 4, 8, 12, 17]
WM_CLOSE = 0x0010
STARTUP_TIMEOUT = 90  # seconds; Wine on a busy machine can be slow to start

Box = collections.namedtuple("Box", "title xid texts window_visible")
Tone = collections.namedtuple("Tone", "first_samples peak full_level_ms fall_ms faded")


def config_text(port="NONE", device=0, key_timing=None, fall_time=0.01, pairs=""):
    """The default settings but for the port ("NONE" is rejected without a
    box), the audio device and the fall; `key_timing` is the value of a ninth
    pair, and `pairs` named pairs after it."""
    return (f"DeviceNumber {device}\nAttenuation 3.0\nFrequency 1000.0\nRiseTime 0.01\nFallTime {fall_time}\n"
            f"PortName {port}\nKeyLine DSR\nDebounceDelay 0\n"
            + (f"KeyTiming {key_timing}\n" if key_timing else "") + pairs)


@contextlib.contextmanager
def pseudo_terminal_port(name):
    """Maps the port `name` (e.g. "COM8") to a new pseudo-terminal for as long
    as the block runs. It opens like a serial port, but has no modem-status
    lines to read."""
    master, slave = os.openpty()
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", name.lower())
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)
    try:
        yield
    finally:
        os.remove(link)
        os.close(slave)
        os.close(master)


def _pass_on(stream, path):
    """Copies a process's error output to ours and to the file at `path`."""
    with stream, open(path, "ab") as kept:
        for line in stream:
            sys.stderr.buffer.write(line)
            sys.stderr.flush()
            kept.write(line)
            kept.flush()


def _title_pattern(title):
    special = set(".^$*+?()[]{}|\\")
    return "^" + "".join("\\" + c if c in special else c for c in title) + "$"


def find_all_visible(title):
    """The X window ids of the mapped windows with exactly this title."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", _title_pattern(title)],
                          capture_output=True, text=True).stdout.split()


def find_visible(title):
    """The X window id of the mapped window with exactly this title, or None."""
    out = find_all_visible(title)
    return out[0] if out else None


@contextlib.contextmanager
def focus_thief():
    """An X client's window (xmessage) for as long as the block runs; yields
    its X window id, to which `xdotool windowfocus` can move the keyboard
    focus away from Velkin."""
    title = "Velkin focus thief"
    thief = subprocess.Popen(["xmessage", "-title", title, title],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield poll("the xmessage window", lambda: find_visible(title), 30)
    finally:
        thief.kill()
        thief.wait()


def poll(what, check, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


class Velkin:
    """One run of velkin.exe in its own working folder."""

    def __init__(self, name, config=config_text(), with_audio_host=True, devices="recorder", package=None,
                 rate=44100, buffer=128):
        """`config` is the text of config.ini; None leaves the file out.
        `devices` is ASIOHOST_DEVICES; None lists the system's endpoints.
        `package` is a zip of one folder to unpack into the empty working
        folder and run the program from, instead of the build's. `rate` and
        `buffer` are the recorder's sample rate and buffer size."""
        self.bin = os.environ["VELKIN_BIN"]
        self.wine = os.environ.get("VELKIN_WINE") or shutil.which("wine")
        self.folder = os.path.join(os.environ["VELKIN_WORK"], name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        if config is not None:
            with open(os.path.join(self.folder, "config.ini"), "w") as f:
                f.write(config)
        self.exe = os.path.join(self.bin, "velkin.exe")
        if not with_audio_host:
            # A copy in a folder of its own does not find ASIOHOST.dll.
            self.exe = shutil.copy(self.exe, self.folder)
        if package is not None:
            with zipfile.ZipFile(package) as archive:
                archive.extractall(self.folder)
            (top,) = os.listdir(self.folder)
            self.folder = os.path.join(self.folder, top)
            self.exe = os.path.join(self.folder, "velkin.exe")
        self.env = dict(os.environ, ASIOHOST_RATE=str(rate), ASIOHOST_BUFFER=str(buffer), ASIOHOST_WAV="sidetone.wav")
        self.env.pop("ASIOHOST_DEVICES", None)
        if devices is not None:
            self.env["ASIOHOST_DEVICES"] = devices
        self.process = None
        self.stderr_copiers = []
        self.xid = None
        self.started = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # --- process

    def start(self, alone=True):
        """Starts velkin.exe; `alone` first waits for every Velkin window of
        earlier runs to go."""
        if alone:
            poll("an earlier Velkin window to go", lambda: find_visible(TITLE) is None, 30)
        self.started = time.monotonic()
        self.process = self._launch()

    def start_again(self, timeout=60):
        """Starts velkin.exe once more in the same folder and returns the exit
        code of that second start."""
        second = self._launch()
        try:
            return second.wait(timeout)
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait()
            raise AssertionError(f"a second start did not end within {timeout} s")

    def _launch(self):
        # Error output passes through: it carries Wine's word when it could not
        # start the program, which lets the test command run the group again.
        # It is kept in stderr.txt as well, for the tests that read it.
        process = subprocess.Popen([self.wine, self.exe], cwd=self.folder, env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        copier = threading.Thread(target=_pass_on, args=(process.stderr, self.path("stderr.txt")), daemon=True)
        copier.start()
        self.stderr_copiers.append(copier)
        return process

    def wait_exit(self, timeout=60):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            raise AssertionError(f"velkin.exe did not end within {timeout} s")

    def stop(self):
        """Releases the keys and ends the process if it still runs."""
        subprocess.run(["xdotool", "keyup", "space", "keyup", "Escape"], capture_output=True)
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    # --- windows

    def wait_window(self, boxes=(), timeout=STARTUP_TIMEOUT):
        """Waits for the main window, dismissing the named message boxes as
        they come; returns them in the order seen."""
        seen = []

        def check():
            if self.process.poll() is not None:
                raise AssertionError(f"velkin.exe ended with {self.process.returncode} before its window")
            for title in boxes:
                if find_visible(title):
                    box = self.read_box(title)
                    seen.append(box)
                    self.dismiss(box)
            self.xid = find_visible(TITLE)
            return self.xid

        poll("the Velkin window", check, timeout)
        self.probe("activate")
        return seen

    def wait_box(self, title, timeout=30):
        poll(f'the box "{title}"', lambda: find_visible(title), timeout)
        return self.read_box(title)

    def read_box(self, title):
        xid = find_visible(title)
        texts = self.probe("box", title).splitlines()
        return Box(title, xid, texts, find_visible(TITLE) is not None)

    def dismiss(self, box):
        subprocess.run(["xdotool", "windowfocus", "--sync", box.xid, "key", "Return"], capture_output=True)
        poll(f'the box "{box.title}" to close', lambda: find_visible(box.title) is None, 30)
        if box.window_visible:
            self.probe("activate")

    def answer_box_letting_go_in_window(self, title, key):
        """Presses `key` in the box titled `title` and lets go of it only once
        the main window is up and has the keyboard, as an operator who answers
        a box during start-up may do. Returns the box."""
        box = self.wait_box(title)
        self.key("windowfocus", "--sync", box.xid, "keydown", key)
        poll(f'the box "{title}" to close', lambda: find_visible(title) is None, 30)
        self.wait_window()
        self.focus()
        self.key("keyup", key)
        return box

    def focus(self):
        subprocess.run(["xdotool", "windowfocus", "--sync", self.xid], check=True, capture_output=True)

    def key(self, *commands):
        subprocess.run(["xdotool", *commands], check=True)

    def tap_space(self, seconds):
        """Holds the space bar for `seconds`."""
        self.press_space([seconds])

    def press_space(self, holds, gaps=()):
        """Holds the space bar for each of `holds` seconds in turn, with
        `gaps[i]` seconds after press i: every key event comes from one
        xdotool process, without its default pause after each key, so that
        nothing else starts while the presses are timed."""
        commands = []
        for i, hold in enumerate(holds):
            commands += ["keydown", "--delay", "0", "space", "sleep", f"{hold:.3f}", "keyup", "--delay", "0", "space"]
            if i < len(gaps):
                commands += ["sleep", f"{gaps[i]:.3f}"]
        self.focus()
        self.key(*commands)

    def quit_with_escape(self):
        self.focus()
        self.key("key", "Escape")
        return self.wait_exit()

    def close_window(self):
        self.focus()
        self.key("key", "alt+F4")
        return self.wait_exit()

    def close_by_message(self):
        """Closes the window with WM_CLOSE, which needs no keyboard focus."""
        self.probe("post", str(WM_CLOSE))
        return self.wait_exit()

    # --- looking at the window

    def probe(self, *args):
        result = subprocess.run([self.wine, os.path.join(self.bin, "window_probe.exe"), *args],
                                stdout=subprocess.PIPE, text=True, env=self.env, timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"window_probe {' '.join(args)}: {result.stdout.strip()}")
        return result.stdout.replace("\r", "")

    def geometry(self):
        return dict(line.split("=", 1) for line in self.probe("window", "30").splitlines())

    def client_origin(self):
        g = self.geometry()
        return tuple(int(v) for v in g["origin"].split(","))

    def watch(self, x, y, milliseconds, during):
        """The client pixel's colours as [(ms, rrggbb)] while `during` runs:
        the colour before `during` at 0 ms, then each change, read every
        millisecond for `milliseconds`."""
        ox, oy = self.client_origin()
        with ScreenPixels() as screen:
            changes, done = [], threading.Event()
            start = time.monotonic()
            changes.append((0.0, screen.colour(ox + x, oy + y)))

            def follow():
                while not done.wait(0.001):
                    elapsed = (time.monotonic() - start) * 1000
                    colour = screen.colour(ox + x, oy + y)
                    if colour != changes[-1][1]:
                        changes.append((round(elapsed, 1), colour))
                    if elapsed >= milliseconds:
                        return

            follower = threading.Thread(target=follow)
            follower.start()
            try:
                during()
            finally:
                follower.join(milliseconds / 1000 + 60)
                done.set()
        return changes

    def pixel(self, x, y):
        """The client pixel's colour, once the window shows its picture: the
        same, and not the black of an unpainted window, 50 ms apart."""
        def read():
            first = self.watch(x, y, 0, lambda: None)[0][1]
            time.sleep(0.05)
            again = self.watch(x, y, 0, lambda: None)[0][1]
            return first if first == again and first != "000000" else None
        return poll(f"client pixel ({x}, {y})", read, 30)

    def screenshot(self):
        """The path of a PPM picture of the client area."""
        path = os.path.join(self.folder, "window.ppm")
        g = self.geometry()
        width, height = g["client"].split("x")
        x, y = g["origin"].split(",")
        subprocess.run(["import", "-silent", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}",
                        "-depth", "8", path], check=True)
        return path

    # --- what the run left behind

    def path(self, name):
        return os.path.join(self.folder, name)

    def log_lines(self):
        return read_log(self.folder)

    def stderr_lines(self):
        """What the runs so far wrote to standard error; call once they ended."""
        for copier in self.stderr_copiers:
            copier.join(10)
        with open(self.path("stderr.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r", "").splitlines()

    def recording(self):
        """Left and right channel samples and the sample rate of sidetone.wav."""
        with wave.open(self.path("sidetone.wav"), "rb") as w:
            assert w.getnchannels() == 2 and w.getsampwidth() == 2, "expected 16-bit stereo"
            rate = w.getframerate()
            frames = w.readframes(w.getnframes())
        samples = array.array("h", frames)
        return list(samples[0::2]), list(samples[1::2]), rate


class ScreenPixels:
    """Pixels of the X display, read from the X server itself. Wine's own
    reading of another program's window (GetPixel on a screen context) gives
    nothing until that part of the window is drawn again, in some runs for
    the whole of them."""

    _x11 = None

    def __init__(self):
        if ScreenPixels._x11 is None:
            x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
            x11.XOpenDisplay.restype = ctypes.c_void_p
            x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
            x11.XDefaultRootWindow.restype = ctypes.c_ulong
            x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
            x11.XGetImage.restype = ctypes.c_void_p
            x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                      ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
            x11.XGetPixel.restype = ctypes.c_ulong
            x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
            x11.XDestroyImage.argtypes = [ctypes.c_void_p]
            x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
            ScreenPixels._x11 = x11
        self.display = self._x11.XOpenDisplay(None)
        if not self.display:
            raise AssertionError("cannot open the X display")
        self.root = self._x11.XDefaultRootWindow(self.display)

    def colour(self, x, y):
        """The colour at screen point (x, y) as rrggbb (a 24-bit display)."""
        all_planes, z_pixmap = 0xFFFFFFFFFFFFFFFF, 2
        image = self._x11.XGetImage(self.display, self.root, x, y, 1, 1, all_planes, z_pixmap)
        if not image:
            raise AssertionError(f"cannot read the screen at ({x}, {y})")
        value = self._x11.XGetPixel(image, 0, 0)
        self._x11.XDestroyImage(image)
        return f"{value & 0xFFFFFF:06x}"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._x11.XCloseDisplay(self.display)


class Paddles:
    """The keyer's paddles on the keyboard: Left Ctrl the dit, Right Ctrl the
    dah, each sent alone through XTest (xdotool sends a Left Ctrl with every
    Right Ctrl), at given moments."""

    KEYSYMS = {"dit": b"Control_L", "dah": b"Control_R"}

    def __init__(self):
        self.x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.xtest = ctypes.CDLL(ctypes.util.find_library("Xtst"))
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XStringToKeysym.restype = ctypes.c_ulong
        self.x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtest.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.display = self.x11.XOpenDisplay(None)
        if not self.display:
            raise AssertionError("cannot open the X display")
        self.codes = {paddle: self.x11.XKeysymToKeycode(self.display, self.x11.XStringToKeysym(keysym))
                      for paddle, keysym in self.KEYSYMS.items()}

    def play(self, events):
        """Sends each (seconds from now, "dit" or "dah", down) at its moment."""
        start = time.perf_counter()
        for at, paddle, down in sorted(events):
            while (left := start + at - time.perf_counter()) > 0:
                time.sleep(min(left, 0.0005))
            self.xtest.XTestFakeKeyEvent(self.display, self.codes[paddle], 1 if down else 0, 0)
            self.x11.XFlush(self.display)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.x11.XCloseDisplay(self.display)


# --- the private PulseAudio server that run-e2e starts (scripts/lib/pulse.sh)


def pactl(*args):
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True).stdout


class SinkRecording:
    """Records the null sink's monitor, 16-bit stereo at 48000 Hz, for as long
    as the block runs; then `left` holds the left channel.

    The block begins `settle` seconds after the recorder: on this machine,
    what Wine plays in the first second or so of a new PulseAudio stream, or
    of a new recording, does not all reach the recording."""

    RATE = 48000

    def __init__(self, folder, name, settle=2.0):
        self.path = os.path.join(folder, name)
        self.settle = settle
        self.left = []

    def __enter__(self):
        sink = os.environ["VELKIN_PULSE_SINK"]
        poll(f"the monitor of {sink}", lambda: f"{sink}.monitor" in pactl("list", "short", "sources"), 10)
        self.process = subprocess.Popen(["parec", f"--device={sink}.monitor", "--format=s16le",
                                         f"--rate={self.RATE}", "--channels=2", "--latency-msec=100", self.path],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(self.settle)
        return self

    def __exit__(self, *exc):
        time.sleep(0.3)  # the last tone leaves the sink
        self.process.terminate()
        self.process.wait(10)
        with open(self.path, "rb") as f:
            data = f.read()
        self.left = list(array.array("h", data[:len(data) // 4 * 4])[0::2])


def read_log(folder):
    """The lines of the debug log in `folder`."""
    with open(os.path.join(folder, "VelkinDbg.Log"), "rb") as f:
        data = f.read().decode("latin-1")
    # Text mode turns each "\n" into "\r\n", so the header's own "\r\n"
    # pairs reach the file as "\r\r\n".
    return [line.rstrip("\r") for line in data.split("\n")[:-1]]


# --- reading tones


def find_tones(samples, gap=200):
    """(start, end) of each run of non-zero samples; runs closer than `gap`
    zeros belong to one tone."""
    tones, start, last = [], None, None
    for i, s in enumerate(samples):
        if s:
            if start is not None and i - last > gap:
                tones.append((start, last + 1))
                start = None
            if start is None:
                start = i
            last = i
    if start is not None:
        tones.append((start, last + 1))
    return tones


def tone_lengths_ms(samples, rate, gap=200):
    """The length of each tone (see find_tones) in milliseconds."""
    return [round((end - start) * 1000 / rate, 2) for start, end in find_tones(samples, gap)]


def count_full_rises(samples, rate):
    """How often the tone's level, taken as the largest sample of each
    millisecond, climbs to full level from below half of it: tones that
    follow one another closer than their fall still count one each."""
    window = rate // 1000
    rises, low = 0, True
    for at in range(0, len(samples) - window + 1, window):
        level = max(abs(s) for s in samples[at:at + window])
        if low and level >= 0.95 * AMPLITUDE:
            rises, low = rises + 1, False
        elif level < 0.5 * AMPLITUDE:
            low = True
    return rises


def analyse_tone(samples, start, end, rate, frequency=1000.0):
    # The rise's first two samples truncate to 0, so the tone began two
    # samples before its first non-zero one, at phase 0.
    origin = start - 2
    step = 2 * math.pi * frequency / rate
    last_full = 0
    for j in range(end - origin):
        sine = math.sin((j + 1) * step)
        if abs(sine) > 0.7 and samples[origin + j] / sine >= 0.999 * AMPLITUDE:
            last_full = j
    tail = samples[max(origin, end - rate // 1000):end]
    return Tone(first_samples=samples[origin:origin + len(RISE_START)],
                peak=max(abs(s) for s in samples[start:end]),
                full_level_ms=round(last_full * 1000 / rate, 2),
                fall_ms=round((end - origin - last_full) * 1000 / rate, 2),
                faded=max(abs(s) for s in tail) < 0.05 * AMPLITUDE)


# --- pictures


def read_ppm(path):
    """Rows of (r, g, b) from a binary PPM."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P6" and fields[3] == b"255"
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    return [[tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)]
            for y in range(height)]


def read_bmp(path):
    """Rows of (r, g, b), top row first, from a 24-bit bottom-up BMP."""
    with open(path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 24 and height > 0
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        line = data[offset + y * stride:offset + y * stride + width * 3]
        rows.append([(line[x * 3 + 2], line[x * 3 + 1], line[x * 3]) for x in range(width)])
    return rows
