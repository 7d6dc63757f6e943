#!/usr/bin/env python3
"""Benchmark of updater.exe under Wine against what the platform itself allows, in the same Wine
prefix and the same run, and against the usual Linux tools:
  a. the updater's fixed cost: a whole run with an empty manifest (process start, manifest
     download, message box), over HTTP and over HTTPS;
  b. downloading a fully stale pack: the updater (whole run, and net of its fixed cost), the
     download recipe (bench/recipes.exe: WinINet with the updater's flags and 4 KiB reads, one
     Wine process, no window) over the same URLs, the same read through WinINet's asynchronous
     mode as the updater reads, and curl fetching them one after another; over HTTP and over
     HTTPS (a test authority that only the bench's prefixes trust);
  c. verifying the same pack, now current: the updater net of its fixed cost, the MD5 recipe
     (CryptoAPI, 4 KiB reads, one context for all files) and md5sum -c;
  d. many small files (a current pack of 1 KiB files): the updater's cost per file net of its
     fixed cost, against the MD5 recipe and md5sum -c per file;
  e. the same small files, all missing: the updater's cost per downloaded file net of its fixed
     cost, against the download recipes per file; over HTTP and over HTTPS;
  f. peak working set of the updater, files of 1 MiB against one large file, in a download run
     and in a verification run;
  g. verifying a large current pack (four times the pack of b, in as many files): the updater
     net of its fixed cost against the MD5 recipe, which uses one core, and md5sum -c;
  h. a, b, e and g again in a 64-bit prefix, for each WoW64 kind chosen (--kinds: wow64, old
     WoW64 in the same Wine; newwow64, new WoW64 in Debian unstable's Wine): the updater net of
     its fixed cost in that prefix against the blocking download recipe or the MD5 recipe run
     there, and both against their figures in the 32-bit prefix: what WoW64 itself costs.

The packs are served by nginx on 127.0.0.1; the Wine prefixes (each proven to be of its kind by
wine_kind.exe), their display, the web server and the build come from support/lib.sh, the HTTPS
server's authority from support/test_authority.py. The updater's message box is answered by
support/drive_updater.exe in --timing mode, which also times the run (process start to the box:
the answer and the exit are not counted) and reads the peak working set; each of its polls, every
10 ms, asks the system one question. The recipes time their own work inside their process, after
one untimed fetch that makes the connection as the updater's manifest does. Every repetition
measures a to e and g in that order, then a, b and e over HTTPS: a by three runs (it is short and
varies most), c twice, each after one more run of a; then h in each 64-bit prefix (a three times
over each protocol); an updater time net of its fixed cost is its median less the median of a over
the same protocol in the same prefix. f follows, --mem-reps times. Prints a table of medians; it is
a measurement, not a test, and has no pass mark.

A measurement is a function that does its work once and returns its figures, {measure: value};
repetition() calls them in order and print_table() gives each row its lines.
"""

import argparse
import collections
import hashlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB_SH = ["bash", os.path.join(REPO, "support", "lib.sh")]
sys.path.insert(0, os.path.join(REPO, "support"))
from driver_report import first_event  # noqa: E402
from test_authority import make_authority, trust_authority  # noqa: E402

MIB = 1048576
NOTHING_TO_DO = "Pas de mise à jour."
DONE = "Mise à jour terminée."
MANIFEST = "DIR_Ovuduza/manifest_ZIR.xml"  # below the web server's root
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
KINDS = ("win32", "wow64", "newwow64")  # the 32-bit prefix first: every ratio's base

UpdaterRun = collections.namedtuple("UpdaterRun", "ms peak_kib")


class BenchFailed(Exception):
    """A step failed, or a yardstick did other work than the updater: the figures would mean nothing."""


class Stopped(Exception):
    """A signal asked the bench to stop."""


def stop_on_signal(signum, frame):
    raise Stopped(signum)


def note(text):
    print(text, file=sys.stderr, flush=True)


def run(command, stdout=None, stderr=None, cwd=None, kind=None):
    """Runs command to its end: (exit status, its standard output when stdout is PIPE); kind: the
    prefix kind (WINE_KIND) of the Windows programs it runs. It runs in a process group of its own,
    so that a signal from the terminal reaches the bench alone, which then ends the command and all
    it started at once, by that group."""
    env = dict(os.environ, WINE_KIND=kind) if kind else None
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr, cwd=cwd,
                               env=env, process_group=0)  # Python 3.11, as in Debian 12
    try:
        out, _ = process.communicate()
    finally:
        if process.returncode is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return process.returncode, out


def lib(*args, stdout=None):
    """One function of support/lib.sh, run as a command; its standard output when stdout is PIPE."""
    status, out = run(LIB_SH + list(args), stdout=stdout)
    if status != 0:
        raise BenchFailed("support/lib.sh %s failed (status %d)" % (args[0], status))
    return out


def expect_same(what, actual, expected):
    if actual != expected:
        raise BenchFailed("%s: got %s, expected %s" % (what, actual, expected))


def write_lines(path, lines):
    with open(path, "w", encoding="utf-8") as f:
        f.writelines(line + "\n" for line in lines)


class Figures(dict):
    """measure -> its values, in the order they were taken."""

    def add(self, figures):
        for measure, value in figures.items():
            self.setdefault(measure, []).extend(value if isinstance(value, list) else [value])


class Pack:
    """count files of size random bytes spread over four folders, made in www/name and served under
    /name/; files are their paths (with "/", sorted), digests their MD5 digests."""

    def __init__(self, www, name, count, size):
        self.name, self.root, self.bytes = name, os.path.join(www, name), count * size
        self.digests = {}
        width = max(3, len(str(count)))
        for i in range(1, count + 1):
            path = "set-%d/livery-%0*d.dds" % (i % 4 + 1, width, i)
            os.makedirs(os.path.join(self.root, os.path.dirname(path)), exist_ok=True)
            md5 = hashlib.md5()
            with open(os.path.join(self.root, path), "wb") as out:
                left = size
                while left:
                    chunk = os.urandom(min(left, MIB))
                    out.write(chunk)
                    md5.update(chunk)
                    left -= len(chunk)
            self.digests[path] = md5.hexdigest()
        self.files = sorted(self.digests)
        self.folders = sorted({os.path.dirname(path) for path in self.files})


class Bench:
    """What the measurements share: the work folder with the packs, their web server, and the
    build folder with the updater, the helpers, the Wine prefix of each kind and their display.
    Started by start(); stop() stops everything it started, each by its own id."""

    def __init__(self, options, kinds):
        self.options = options
        self.kinds = kinds  # win32 first
        self.build = os.path.abspath(options.build)
        # Inside the build folder: Wine in the new WoW64 chroot sees that folder, not the rest of /tmp.
        os.makedirs(self.build, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="livery-bench.", dir=self.build)
        self.www = self.path("www")
        self.nginx = self.path("nginx")
        self.packs = {}
        self.display_started = False
        self.prefixes = {}  # kind -> (Wine's version, what wine_kind.exe says there)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def windows_path(self, name):
        """How Windows programs see name, a path with "/" below the work folder."""
        return self.work_windows + "\\" + name.replace("/", "\\")

    def make_pack(self, name, count, size):
        pack = self.packs[name] = Pack(self.www, name, count, size)
        # md5sum -c's input, run in a folder that holds the pack.
        write_lines(self.path(name + ".md5"), ["%s  %s" % (pack.digests[f], f) for f in pack.files])

    def base_url(self, tls):
        return self.tls_base if tls else self.http_base

    def start(self):
        """The web server, the manifests, the builds pointed at them, the display and the prefix."""
        self.work_windows = lib("windows_path", self.work, stdout=subprocess.PIPE).decode()
        os.makedirs(self.path("certs"))
        cert, key = make_authority(self.path("certs"), "bench")
        lib("start_nginx", self.nginx, self.www, cert, key)
        with open(os.path.join(self.nginx, "port")) as f:
            self.http_base = "http://127.0.0.1:%d" % int(f.read())
        with open(os.path.join(self.nginx, "tls_port")) as f:
            self.tls_base = "https://127.0.0.1:%d" % int(f.read())
        os.makedirs(self.path("manifests"))
        # Over HTTPS: the packs of b and e.
        for name, tls in [(name, False) for name in self.packs] + [("pack", True), ("tiny", True)]:
            status, _ = run([sys.executable, os.path.join(REPO, "tools", "mkmanifest.py"), "build", "--quiet",
                             self.packs[name].root, "--base-url", "%s/%s/" % (self.base_url(tls), name),
                             "-o", self.path("manifests", name + ("-tls" if tls else "") + ".xml")])
            expect_same("mkmanifest.py build %s, exit status" % name, status, 0)
        with open(self.path("manifests", "empty.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<update version="1.0"/>\n')
        os.makedirs(os.path.dirname(os.path.join(self.www, MANIFEST)))

        note("building updater.exe in %s, and one pointed at the HTTPS server in %s/tls" % (self.build, self.build))
        lib("build_programs", self.build, "%s/%s" % (self.http_base, MANIFEST),
            "updater", "drive_updater", "recipes", "add_root_cert", "wine_kind")
        lib("build_programs", os.path.join(self.build, "tls"), "%s/%s" % (self.tls_base, MANIFEST), "updater")
        self.updaters = {tls: lib("windows_path", os.path.join(self.build, "tls" if tls else "", "bin", "updater.exe"),
                                  stdout=subprocess.PIPE).decode() for tls in (False, True)}
        self.display_started = True  # from here on, stop() stops it and every kind's wineserver
        lib("build_display", "start", self.build, stdout=subprocess.DEVNULL)
        for kind in self.kinds:
            self.start_prefix(kind)

    def start_prefix(self, kind):
        """The prefix of kind, made when missing, proven to be of its kind, trusting the authority."""
        note("%s prefix: made when missing, and proven" % kind)
        proof = lib("build_prefix", "start", self.build, kind, stdout=subprocess.PIPE).decode()
        _, version = run(LIB_SH + ["run_wine", "--version"], stdout=subprocess.PIPE, kind=kind)
        self.prefixes[kind] = (version.decode().strip(), proof.strip().rpartition(": ")[2])
        trust_authority(self.build, os.path.join(self.build, "helpers", "add_root_cert.exe"),
                        self.path("certs"), "bench", kind)

    def stop(self):
        if self.display_started:
            run(LIB_SH + ["build_display", "stop", self.build], stdout=subprocess.DEVNULL)
        run(LIB_SH + ["stop_nginx", self.nginx])
        shutil.rmtree(self.work, ignore_errors=True)

    def serve_manifest(self, name):
        """The URL is compiled into the updater: each step serves its own manifest under it."""
        shutil.copyfile(self.path("manifests", name + ".xml"), os.path.join(self.www, MANIFEST))

    def remove(self, *folders):
        for folder in folders:
            shutil.rmtree(self.path(folder), ignore_errors=True)

    def wine(self, program, args, name, kind):
        """Runs program of the build folder under Wine, in the prefix of kind; its standard output
        and error go to the files name.out and name.err of the work folder. Its exit status."""
        with open(self.path(name + ".out"), "wb") as out, open(self.path(name + ".err"), "wb") as err:
            status, _ = run(LIB_SH + ["wine_run", self.build, os.path.join(self.build, program)] + args,
                            stdout=out, stderr=err, kind=kind)
        return status

    def read(self, name):
        with open(self.path(name), encoding="utf-8", errors="replace") as f:
            return f.read()

    def drive(self, player, expected_box, tls=False, kind="win32"):
        """One whole run of updater.exe (tls: the one pointed at the HTTPS server) in the folder
        player, in the prefix of kind, answered by the driver: the time to its final message box,
        whose text must be expected_box, and its peak working set."""
        os.makedirs(self.path(player), exist_ok=True)
        self.wine("helpers/drive_updater.exe",
                  ["--timing", "--timeout-s", "1800", self.updaters[tls], self.windows_path(player)], "drive", kind)
        report = self.read("drive.out").splitlines()
        box = first_event(report, "box") or {}
        if box.get("text") != expected_box:
            log = os.path.join(player, "Updater", "log_updater.lst")
            raise BenchFailed('updater run in %s ended with box "%s", expected "%s"; its log:\n%s'
                              % (self.path(player), box.get("text", ""), expected_box,
                                 self.read(log).replace("\r", "") if os.path.exists(self.path(log)) else ""))
        end = first_event(report, "exit")
        if end is None:
            raise BenchFailed("updater run in %s did not end in time" % self.path(player))
        return UpdaterRun(box["ms"], end["peak_kib"])

    def recipe(self, mode, lines, digests=None, kind="win32"):
        """One run of bench/recipes.exe MODE over the list lines (digests: the file, below the work
        folder, that gets the MD5 digests), in the prefix of kind: its time and bytes, as it
        reports them."""
        write_lines(self.path("recipe.list"), lines)
        args = [mode, self.windows_path("recipe.list")] + ([self.windows_path(digests)] if digests else [])
        status = self.wine("helpers/recipes.exe", args, "recipe", kind)
        report = dict(line.split("=", 1) for line in self.read("recipe.out").splitlines() if "=" in line)
        if status != 0 or "ms" not in report:
            raise BenchFailed("recipes.exe %s in the %s prefix failed (status %d):\n%s"
                              % (mode, kind, status, self.read("recipe.err")))
        return float(report["ms"]), int(report["bytes"])

    def timed(self, command, cwd=None):
        """The milliseconds a Linux tool takes, from its start to its end."""
        start = time.perf_counter()
        status, _ = run(command, cwd=cwd)
        ms = (time.perf_counter() - start) * 1000
        expect_same("%s, exit status" % command[0], status, 0)
        return ms


# The measurements.

def suffix(tls):
    return ".tls" if tls else ""


def start_wine(bench, kind="win32"):
    """An untimed run: a kind's wine server and Wine's helper processes start with the first
    program (and end 30 s after the last one), not inside a measurement."""
    bench.serve_manifest("empty")
    return bench.drive("empty", NOTHING_TO_DO, kind=kind)


def fixed_cost(bench, tls=False, kind="win32"):
    """a. A whole run with an empty manifest."""
    bench.serve_manifest("empty")
    return {"fixed.updater" + suffix(tls): bench.drive("empty", NOTHING_TO_DO, tls, kind).ms}


def download_recipe(bench, pack, folder, tls=False, mode="download", kind="win32", check_files=False):
    """The download recipe (mode: download or download-async) over pack's URLs into folder: its time."""
    # The recipe creates files only: its folders are made beforehand.
    for subfolder in pack.folders:
        os.makedirs(bench.path(folder, subfolder), exist_ok=True)
    os.sync()
    ms, done = bench.recipe(mode, ["%s/%s/%s\t%s" % (bench.base_url(tls), pack.name, f,
                                                     bench.windows_path(folder + "/" + f))
                                   for f in pack.files], kind=kind)
    expect_same("%s recipe, bytes" % mode, done, pack.bytes)
    if check_files and run(["md5sum", "-c", "--quiet", bench.path(pack.name + ".md5")], cwd=bench.path(folder))[0]:
        raise BenchFailed("%s recipe in the %s prefix: wrong files" % (mode, kind))
    return ms


def md5_recipe(bench, pack, folder, kind="win32"):
    """The MD5 recipe over pack's files in folder, whose digests must be the pack's: its time."""
    ms, done = bench.recipe("md5", [bench.windows_path(folder + "/" + f) for f in pack.files], "digests.txt", kind)
    expect_same("MD5 recipe, bytes", done, pack.bytes)
    if bench.read("digests.txt").split() != [pack.digests[f] for f in pack.files]:
        raise BenchFailed("MD5 recipe in the %s prefix: digests differ from the pack's" % kind)
    return ms


def md5_yardsticks(bench, pack, folder, measure):
    """The MD5 recipe and md5sum -c over pack's files in folder."""
    ms = md5_recipe(bench, pack, folder)
    md5sum_ms = bench.timed(["md5sum", "-c", "--quiet", bench.path(pack.name + ".md5")], cwd=bench.path(folder))
    return {measure + ".recipe": ms, measure + ".md5sum": md5sum_ms}


def download(bench, check_files, tls=False):
    """b. The pack, fully stale: the updater, the download recipes over the same URLs (whose files
    are checked when check_files), curl fetching them one after another."""
    pack, s = bench.packs["pack"], suffix(tls)
    bench.serve_manifest("pack-tls" if tls else "pack")
    bench.remove("player", "curl", "recipe")
    updater = bench.drive("player", DONE, tls)
    figures = {"download.updater" + s: updater.ms}
    if not tls:
        figures["peak.pack.download"] = updater.peak_kib
    for mode, measure in (("download", "recipe"), ("download-async", "async")):
        bench.remove("recipe")
        figures["download.%s%s" % (measure, s)] = download_recipe(bench, pack, "recipe", tls, mode,
                                                                  check_files=check_files)
    write_lines(bench.path("curl.conf"), ['url = "%s/pack/%s"\noutput = "%s"' % (bench.base_url(tls), f,
                                                                                  bench.path("curl", f))
                                          for f in pack.files])
    os.sync()
    figures["download.curl" + s] = bench.timed(["curl", "-sS", "--fail", "--create-dirs", "--cacert",
                                                bench.path("certs", "bench.pem"), "-K", bench.path("curl.conf")])
    return figures


def verification(bench):
    """c. The same pack, now current (b leaves it so), twice, each time after a run of a of its
    own: the verification is short, so a's spread would otherwise weigh on it."""
    figures = Figures()
    os.sync()
    for _ in range(2):
        figures.add(fixed_cost(bench))
        bench.serve_manifest("pack")
        figures.add({"verify.updater": bench.drive("player", NOTHING_TO_DO).ms})
        figures.add(md5_yardsticks(bench, bench.packs["pack"], "player", "verify"))
    return figures


def small_verification(bench):
    """d. The current pack of small files (prepare() makes its player folder)."""
    bench.serve_manifest("tiny")
    figures = {"tiny.updater": bench.drive("player-tiny", NOTHING_TO_DO).ms}
    figures.update(md5_yardsticks(bench, bench.packs["tiny"], "player-tiny", "tiny"))
    return figures


def small_download(bench, tls=False):
    """e. The same small files, all missing: the updater and the download recipes."""
    s = suffix(tls)
    bench.serve_manifest("tiny-tls" if tls else "tiny")
    bench.remove("player-tinydl", "recipe-tiny")
    figures = {"tinydl.updater" + s: bench.drive("player-tinydl", DONE, tls).ms}
    for mode, measure in (("download", "recipe"), ("download-async", "async")):
        bench.remove("recipe-tiny")
        figures["tinydl.%s%s" % (measure, s)] = download_recipe(bench, bench.packs["tiny"], "recipe-tiny", tls, mode)
    return figures


def large_verification(bench):
    """g. The large current pack (prepare() makes its player folder)."""
    bench.serve_manifest("large")
    figures = {"large.updater": bench.drive("player-large", NOTHING_TO_DO).ms}
    figures.update(md5_yardsticks(bench, bench.packs["large"], "player-large", "large"))
    return figures


def wow64_cost(bench, kind, check_files):
    """h. a, b, e and g again in the 64-bit prefix of kind (wow64 or newwow64): the updater and the
    recipe that b, e and g take as their yardstick, the same builds run the same way, so that both
    pay what WoW64 costs (curl and md5sum run outside Wine: no prefix changes them). Its figures
    are named kind:measure, measure as in the 32-bit prefix."""
    figures = Figures()
    start_wine(bench, kind)
    for tls in (False, True):
        s, manifest = suffix(tls), "-tls" if tls else ""
        for _ in range(3):
            figures.add(fixed_cost(bench, tls, kind))
        for step, pack, player, recipe in (("download", "pack", "player", "recipe"),
                                           ("tinydl", "tiny", "player-tinydl", "recipe-tiny")):
            bench.serve_manifest(pack + manifest)
            bench.remove(player, recipe)
            figures.add({step + ".updater" + s: bench.drive(player, DONE, tls, kind).ms,
                         step + ".recipe" + s: download_recipe(bench, bench.packs[pack], recipe, tls, kind=kind,
                                                               check_files=check_files)})
    bench.serve_manifest("large")
    figures.add({"large.updater": bench.drive("player-large", NOTHING_TO_DO, kind=kind).ms,
                 "large.recipe": md5_recipe(bench, bench.packs["large"], "player-large", kind)})
    return {kind + ":" + measure: values for measure, values in figures.items()}


def peak_memory(bench, size):
    """f. A download run and a verification run of the pack size ("small" or "big")."""
    bench.serve_manifest(size)
    bench.remove("player-" + size)
    downloading = bench.drive("player-" + size, DONE)
    verifying = bench.drive("player-" + size, NOTHING_TO_DO)
    return {"peak.%s.download" % size: downloading.peak_kib, "peak.%s.verify" % size: verifying.peak_kib}


def current_player(bench, name, player, copy):
    """player: a current copy of the pack name, as a finished run leaves it (the pack and the
    manifest), its files made by copy."""
    shutil.copytree(bench.packs[name].root, bench.path(player), copy_function=copy)
    os.makedirs(bench.path(player, "Updater"))
    shutil.copyfile(bench.path("manifests", name + ".xml"), bench.path(player, "Updater", "manifest.xml"))


def prepare(bench):
    """The warm-up run, and the current player folders of d and g."""
    # Its peak is what Wine and the program take before any file.
    figures = {"peak.empty.verify": start_wine(bench).peak_kib}
    current_player(bench, "tiny", "player-tiny", shutil.copy2)
    bench.serve_manifest("tiny")
    bench.drive("player-tiny", NOTHING_TO_DO)  # d's folder must need nothing
    current_player(bench, "large", "player-large", os.link)  # hard links: in the page cache once
    return figures


def repetition(bench, first):
    """One repetition of a to e and g, in that order, then a, b and e over HTTPS; then h in each
    64-bit prefix."""
    figures = Figures()
    os.sync()  # nothing left to write back from the previous repetition while this one is timed
    if not first and len(bench.kinds) > 1:
        start_wine(bench)  # h of the last repetition outlasted this prefix's wine server
    for _ in range(3):
        figures.add(fixed_cost(bench))
    figures.add(download(bench, check_files=first))
    figures.add(verification(bench))
    figures.add(small_verification(bench))
    figures.add(small_download(bench))
    figures.add(large_verification(bench))
    for _ in range(3):
        figures.add(fixed_cost(bench, tls=True))
    figures.add(download(bench, check_files=first, tls=True))
    figures.add(small_download(bench, tls=True))
    for kind in bench.kinds[1:]:
        figures.add(wow64_cost(bench, kind, check_files=first))
    return figures


# The table.

def print_table(figures, options, file_bytes, machine, loads, elapsed_s, cores, prefixes, skipped):
    med = {m: statistics.median(v) for m, v in figures.items()}
    # Each updater time net of a over the same protocol in the same prefix:
    # [kind:]download.updater.tls -> [kind:]download.tls.net
    for measure in list(med):
        kind, colon, name = measure.rpartition(":")
        step, updater_run, tls = name.partition(".updater")
        if updater_run and step != "fixed":
            med[kind + colon + step + tls + ".net"] = med[measure] - med[kind + colon + "fixed.updater" + tls]
    files, small_files = options.files, options.small_files
    pack_mib = files * file_bytes / MIB

    def runs(measure):
        return ", ".join("%.3f" % (value / 1000) for value in figures[measure])

    def updater(prefix):  # download.tls -> download.updater.tls
        step, _, tls = prefix.partition(".")
        return step + ".updater" + ("." + tls if tls else "")

    def seconds(ms):
        return "%.*f s" % (3 if ms < 10000 else 2, ms / 1000)

    def throughput(ms, mib=pack_mib):
        if ms <= 0:
            return "-"
        rate = mib / (ms / 1000)
        return "%.*f MiB/s" % (2 if rate < 10 else 1 if rate < 100 else 0, rate)

    def per_file(ms):
        return "%.3f ms" % (ms / small_files)

    def ratio(ours, theirs, digits=1):
        return "%.*fx" % (digits, ours / theirs) if ours > 0 and theirs > 0 else "-"

    title = "%-49s %10s %13s %9s"
    row = "   %-46s %10s %13s %9s"

    # One step: the updater's whole run and net time, then each yardstick with the updater's ratio.
    def step(heading, columns, first, second, prefix, yardsticks, footnote=None):
        print()
        print(title % (heading, columns[0], columns[1], "ratio"))
        print(row % ("updater.exe, whole run", first(med[updater(prefix)]), second(med[updater(prefix)]), ""))
        ours = med[prefix + ".net"]
        print(row % ("updater.exe, net of its fixed cost", first(ours), second(ours), ""))
        for label, short, measure in yardsticks:
            print(row % (label, first(med[measure]), second(med[measure]), ratio(ours, med[measure])))
        print("   runs (s): updater %s; %s" % (runs(updater(prefix)),
                                               "; ".join("%s %s" % (short, runs(m)) for _, short, m in yardsticks)))
        if footnote:
            print("   " + footnote)

    print()
    print("Machine: " + machine)
    print("Load average (1, 5, 15 min): before %s, after %s" % loads)
    print("Run: %d s in all; medians of %d repetition%s" % (elapsed_s, options.reps, "" if options.reps == 1 else "s"))
    print("Prefixes (wine_kind.exe's proof): " + "; ".join("%s %s, %s" % (kind, proof, version)
                                                            for kind, (version, proof) in prefixes.items()))
    for line in skipped:
        print(line)
    print("ratio = updater.exe's time (net of its fixed cost) / the other's time for the same work:")
    print("1.0x is as fast, 10x takes ten times as long. Throughput = pack size / time.")
    print()
    for tls, over in ((False, "HTTP"), (True, "HTTPS")):
        print("a. updater.exe fixed cost over %s (whole run, empty manifest), median: %s; runs (s): %s"
              % (over, seconds(med["fixed.updater" + suffix(tls)]), runs("fixed.updater" + suffix(tls))))
    for tls, over in ((False, "HTTP"), (True, "HTTPS")):
        s = suffix(tls)
        step("b. download a fully stale pack over %s, %d x %d KiB" % (over, files, file_bytes // 1024),
             ("time", "throughput"), seconds, throughput, "download" + s, (
                 ("recipe: WinINet, 4 KiB reads, one process", "recipe", "download.recipe" + s),
                 ("the same, asynchronous as the updater reads", "async", "download.async" + s),
                 ("curl, the same URLs one after another", "curl", "download.curl" + s)),
             "(the updater's run also reads each file back to check it, on one thread: about c's recipe time)")
    step("c. verify the same pack, now current", ("time", "throughput"), seconds, throughput, "verify", (
        ("recipe: CryptoAPI MD5, 4 KiB reads, one process", "recipe", "verify.recipe"),
        ("md5sum -c", "md5sum", "verify.md5sum")))
    step("d. %d current files of 1 KiB" % small_files, ("per file", "all files"), per_file, seconds, "tiny", (
        ("recipe: CryptoAPI MD5, one context for all", "recipe", "tiny.recipe"),
        ("md5sum -c", "md5sum", "tiny.md5sum")))
    for tls, over in ((False, "HTTP"), (True, "HTTPS")):
        s = suffix(tls)
        step("e. the same %d files, all missing, over %s" % (small_files, over), ("per file", "all files"),
             per_file, seconds, "tinydl" + s, (
                 ("recipe: WinINet, one session for all", "recipe", "tinydl.recipe" + s),
                 ("the same, asynchronous as the updater reads", "async", "tinydl.async" + s)),
             "(the updater's run also checks each file, on the bytes it kept in memory)")
    step("g. verify a large current pack, %d x %d KiB" % (files, 4 * file_bytes // 1024), ("time", "throughput"),
         seconds, lambda ms: throughput(ms, 4 * pack_mib), "large", (
             ("recipe: CryptoAPI MD5 on one core", "recipe", "large.recipe"),
             ("md5sum -c", "md5sum", "large.md5sum")),
         "(speed against the one-core recipe: %.2fx, on %d cores)"
         % (med["large.recipe"] / med["large.net"] if med["large.net"] > 0 else float("nan"), cores))

    print()
    row = "   %-46s %10s %10s"

    def mib(measure):
        return "%.1f MiB" % (med[measure] / 1024)

    print("%-49s %10s %10s" % ("f. peak working set of updater.exe (%d run%s)"
                               % (options.mem_reps, "" if options.mem_reps == 1 else "s"), "download", "verify"))
    print(row % ("empty manifest", "-", mib("peak.empty.verify")))
    print(row % ("%d x 1 MiB files" % files, mib("peak.small.download"), mib("peak.small.verify")))
    print(row % ("1 x %d MiB file" % options.big_mib, mib("peak.big.download"), mib("peak.big.verify")))
    print(row % ("%d x %d KiB files (b)" % (files, file_bytes // 1024), mib("peak.pack.download"), "-"))
    print(row % ("ratio, large file / small files",
                 "%.2fx" % (med["peak.big.download"] / med["peak.small.download"]),
                 "%.2fx" % (med["peak.big.verify"] / med["peak.small.verify"])))

    # h. One step per 64-bit prefix: each row's updater (net of a in that prefix) and recipe there,
    # their ratio beside the 32-bit prefix's, and both against the 32-bit prefix's.
    row = "   %-39s %10s %10s %6s %7s %9s %8s"

    def recipe_of(step):  # tinydl.tls -> tinydl.recipe.tls
        name, _, tls = step.partition(".")
        return name + ".recipe" + ("." + tls if tls else "")

    def kind_step(kind):
        print()
        print("h. %s: a, b, e and g in its 64-bit prefix" % KIND_TITLES[kind])
        print(row % ("", "updater", "recipe", "ratio", "32-bit", "updater", "recipe"))
        print(row % ("", "(net)", "", "", "ratio", "/ 32-bit", "/ 32-bit"))
        for tls, over in ((False, "HTTP"), (True, "HTTPS")):
            fixed = "fixed.updater" + suffix(tls)
            print(row % ("a. fixed cost over %s (whole run)" % over, seconds(med[kind + ":" + fixed]), "", "", "",
                         ratio(med[kind + ":" + fixed], med[fixed], 2), ""))
            print("      runs (s): %s" % runs(kind + ":" + fixed))
        for label, step, show in (
                ("b. download over HTTP, %d x %d KiB" % (files, file_bytes // 1024), "download", seconds),
                ("b. the same over HTTPS", "download.tls", seconds),
                ("e. %d small files over HTTP, a file" % small_files, "tinydl", per_file),
                ("e. the same over HTTPS, a file", "tinydl.tls", per_file),
                ("g. verify %d x %d KiB" % (files, 4 * file_bytes // 1024), "large", seconds)):
            ours, recipe = med[kind + ":" + step + ".net"], med[kind + ":" + recipe_of(step)]
            print(row % (label, show(ours), show(recipe), ratio(ours, recipe),
                         ratio(med[step + ".net"], med[recipe_of(step)]),
                         ratio(ours, med[step + ".net"], 2), ratio(recipe, med[recipe_of(step)], 2)))
            print("      runs (s): updater %s; recipe %s" % (runs(kind + ":" + updater(step)),
                                                            runs(kind + ":" + recipe_of(step))))

    for kind in list(prefixes)[1:]:
        kind_step(kind)


KIND_TITLES = {
    "wow64": "old WoW64 (wow64: the 32-bit programs on a 32-bit loader, the same Wine)",
    "newwow64": "new WoW64 (newwow64: the 32-bit programs thunked in a 64-bit process, Debian unstable's Wine)",
}


def usable_kinds(kinds):
    """The chosen kinds this machine can run, and a line for each one it cannot."""
    usable, skipped = [], []
    for kind in kinds:
        if kind == "newwow64" and run(LIB_SH + ["new_wow64_ready"])[0] != 0:
            skipped.append("newwow64 skipped: no new WoW64 chroot yet (bash support/lib.sh ensure_new_wow64 "
                           "makes it, once, in a few minutes)")
        elif kind == "newwow64" and run(LIB_SH + ["check_32bit_code"])[0] != 0:
            skipped.append("newwow64 skipped: this machine runs no 32-bit code")
        else:
            usable.append(kind)
    return usable, skipped


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def machine(cores):
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    _, wine_version = run(["wine", "--version"], stdout=subprocess.PIPE)
    return "%d cores, %s; %s" % (cores, cpu, wine_version.decode().strip())


def bench_run(bench, options, skipped):
    """Everything, from the packs to the table."""
    started = time.monotonic()
    load_before = load_average()
    note("load before: " + load_before)
    file_bytes = options.total_mib * MIB // options.files
    note("making the packs: %d x %d KiB, %d x %d KiB, %d x 1 KiB, %d x 1 MiB, 1 x %d MiB"
         % (options.files, file_bytes // 1024, options.files, 4 * file_bytes // 1024, options.small_files,
            options.files, options.big_mib))
    bench.make_pack("pack", options.files, file_bytes)
    bench.make_pack("large", options.files, 4 * file_bytes)
    bench.make_pack("tiny", options.small_files, 1024)
    bench.make_pack("small", options.files, MIB)
    bench.make_pack("big", 1, options.big_mib * MIB)
    bench.start()

    figures = Figures()
    figures.add(prepare(bench))
    for r in range(1, options.reps + 1):
        note("repetition %d of %d: fixed cost; download: updater, recipes, curl; verification: updater, recipe, "
             "md5sum; %d small files: verification (updater, recipe, md5sum), download (updater, recipes); "
             "large pack: verification (updater, recipe, md5sum); over HTTPS: fixed cost, download, small files%s"
             % (r, options.reps, options.small_files,
                "".join("; in the %s prefix: fixed cost, download, small files over HTTP and HTTPS, "
                        "large pack (updater, recipe)" % kind for kind in bench.kinds[1:])))
        figures.add(repetition(bench, first=r == 1))
    bench.remove("player", "curl", "recipe", "player-tiny", "player-tinydl", "recipe-tiny", "player-large")
    for size in ("small", "big"):
        for r in range(1, options.mem_reps + 1):
            note("repetition %d of %d: peak memory, %s files" % (r, options.mem_reps, size))
            figures.add(peak_memory(bench, size))
        bench.remove("player-" + size)

    load_after = load_average()
    note("load after: " + load_after)
    cores = len(os.sched_getaffinity(0))
    print_table(figures, options, file_bytes, machine(cores), (load_before, load_after),
                time.monotonic() - started, cores, bench.prefixes, skipped)


def count(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("counts must be positive integers")
    return int(text)


def parse_options(argv):
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=count, metavar="N", default=64,
                        help="files in the pack of b and c (default 64); also the count of 1 MiB files in f")
    parser.add_argument("--total-mib", type=count, metavar="N", default=256,
                        help="size of that pack in MiB, shared evenly (default 256); "
                             "g's pack is four times as large")
    parser.add_argument("--small-files", type=count, metavar="N", default=2000,
                        help="1 KiB files in the packs of d and e (default 2000)")
    parser.add_argument("--big-mib", type=count, metavar="N",
                        help="size of the single large file of f in MiB (default: --total-mib)")
    parser.add_argument("--reps", type=count, metavar="N", default=3,
                        help="repetitions of a to e and g (default 3; each runs a five times and c twice)")
    parser.add_argument("--mem-reps", type=count, metavar="N", default=1,
                        help="repetitions of f (default 1: the peak varies by well under 1%% between runs)")
    parser.add_argument("--build", metavar="DIR", default="/tmp/build-bench",
                        help="build folder of the benchmark's updater (default /tmp/build-bench)")
    parser.add_argument("--kinds", nargs="+", choices=KINDS, metavar="KIND", default=list(KINDS),
                        help="Wine prefix kinds (support/lib.sh): win32, the 32-bit prefix of every row and "
                             "each ratio's base, and any of wow64 and newwow64, whose 64-bit prefixes run a, b, "
                             "e and g again as row h (default: %s; newwow64 is left out, with a note, where "
                             "its chroot is missing or the machine runs no 32-bit code)" % " ".join(KINDS))
    options = parser.parse_args(argv)
    if "win32" not in options.kinds:
        parser.error("--kinds: win32 is needed, every row and ratio is taken in its prefix")
    options.kinds = [kind for kind in KINDS if kind in options.kinds]
    if options.big_mib is None:
        options.big_mib = options.total_mib
    return options


def main(argv):
    options = parse_options(argv)
    for signum in STOP_SIGNALS:
        signal.signal(signum, stop_on_signal)
    bench = None
    try:
        # In the foreground: the package tools may use the terminal.
        status = subprocess.run(["bash", os.path.join(REPO, "scripts", "setup.sh")]).returncode
        expect_same("scripts/setup.sh, exit status", status, 0)
        kinds, skipped = usable_kinds(options.kinds)
        for line in skipped:
            note(line)
        bench = Bench(options, kinds)
        bench_run(bench, options, skipped)
        return 0
    except BenchFailed as failure:
        note(str(failure))
        return 1
    except Stopped as stop:
        return 128 + stop.args[0]
    finally:
        for signum in STOP_SIGNALS:  # a second signal does not cut the clean-up short
            signal.signal(signum, signal.SIG_IGN)
        if bench:
            bench.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
