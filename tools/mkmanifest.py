#!/usr/bin/env python3
"""Build and check the update manifest of the livery pack.

  build PACK_DIR --base-url URL [-o OUTPUT] [--quiet]
      Writes the manifest that the updater reads: an <update version="1.0"> root with one
      <file path size md5 src> per regular file under PACK_DIR, sorted by relative path.
      Symbolic links and other non-regular files are skipped with a warning (a link is not
      published as a copy of its target). Refuses the whole pack, writing nothing, when any
      file could not be written by the updater on a player's Windows machine.

  check MANIFEST_URL_OR_FILE [--pack-dir DIR] [--quiet]
      Reads a published manifest, fetches every file's src (or reads it from DIR) and reports
      each file whose size or MD5 digest differs, or that cannot be fetched, one line each,
      then a summary line.

While either command reads files, and standard error is a terminal, one line there shows how far
it got (files and MiB done, rate, time left); --quiet leaves it out.

Exit status: 0 success; 1 check found problems, or the manifest cannot be read or is invalid;
2 usage error or build refused.

Python 3 standard library only.
"""

import argparse
import hashlib
import http.client
import os
import re
import string
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.parsers.expat

MANIFEST_VERSION = "1.0"
DEFAULT_OUTPUT = "manifest_ZIR.xml"
CHUNK_BYTES = 1 << 20  # hashing streams the file: memory does not grow with its size
NETWORK_TIMEOUT_S = 30.0
MAX_PATH_UNITS = 259  # MAX_PATH less the terminating null, in UTF-16 units
MAX_NAME_UNITS = 255
MAX_EXACT_SIZE = 2**31 - 1  # the updater reads size as a signed 32-bit number

EXIT_OK, EXIT_PROBLEMS, EXIT_REFUSED = 0, 1, 2

INVALID_NAME_CHARS = set('<>:"|?*\\') | {chr(c) for c in range(0x20)}
RESERVED_DEVICES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    port + digit for port in ("COM", "LPT") for digit in "0123456789\u00b9\u00b2\u00b3"}
# The updater keeps its manifest copy and its log here; a pack file there would fight them.
UPDATER_OWN_PATHS = {"UPDATER", "UPDATER\\MANIFEST.XML", "UPDATER\\LOG_UPDATER.LST"}
# Encodings the updater's parser reads without help.
PARSER_ENCODINGS = {"UTF-8", "UTF-16", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "US-ASCII"}
ASCII_LOWER = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)
FILE_ATTRIBUTES = ("path", "size", "md5", "src")
PROGRESS_INTERVAL_S = 0.25  # rewriting the line more often costs time and shows nothing new


class Refusal(Exception):
    """A condition that stops the command with a message (raised and caught only here)."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


class Progress:
    """The live line on standard error: files and MiB done of the total, rate, time left.

    Silent unless `shown`; clear() wipes it, before any other output and at the end."""

    def __init__(self, verb, total_files, total_bytes, shown):
        self.verb, self.total_files, self.total_bytes, self.shown = verb, total_files, total_bytes, shown
        self.files = self.bytes_before = self.bytes_in_file = 0
        self.started = self.drawn_at = time.monotonic()
        self.width = 0  # of the line now on the terminal
        self.draw()

    def add_bytes(self, count):
        self.bytes_in_file += count
        if self.shown and time.monotonic() - self.drawn_at >= PROGRESS_INTERVAL_S:
            self.draw()

    def file_done(self, size):
        """One more file done, counted as size bytes: a check counts its listed size, so that a
        short or missing file does not skew the rest."""
        self.files += 1
        self.bytes_before += size
        self.bytes_in_file = 0
        self.add_bytes(0)

    def draw(self):
        if not self.shown:
            return
        now = time.monotonic()
        self.drawn_at = now
        done = min(self.bytes_before + self.bytes_in_file, self.total_bytes)
        text = "%d of %d files %s, %.1f of %.1f MiB" % (
            self.files, self.total_files, self.verb, done / 2**20, self.total_bytes / 2**20)
        elapsed = now - self.started
        if done and elapsed >= 1:  # a rate taken over less would mostly show the start-up
            rate = done / elapsed
            text += ", %.1f MiB/s, %s left" % (rate / 2**20, duration((self.total_bytes - done) / rate))
        try:
            columns = os.get_terminal_size(sys.stderr.fileno()).columns or 80  # 0: not told
        except OSError:
            columns = 80
        text = text[:columns - 1]  # a wrapped line could not be rewritten in place
        self.write("\r" + text.ljust(self.width))
        self.width = len(text)

    def clear(self):
        if self.shown and self.width:
            self.write("\r" + " " * self.width + "\r")
            self.width = 0

    def write(self, text):
        sys.stderr.write(text)
        sys.stderr.flush()


def duration(seconds):
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return "%d s" % seconds
    if seconds < 3600:
        return "%d min %02d s" % divmod(seconds, 60)
    return "%d h %02d min" % divmod(seconds // 60, 60)


def warn(message):
    print("mkmanifest: warning: " + message, file=sys.stderr)


# ---------------------------------------------------------------- Windows path rules

def windows_upper(text):
    """Upper case one character at a time, as Windows compares names (no "ß" -> "SS")."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def name_problem(name):
    """Why one path component cannot be a file or folder name on Windows, or None."""
    if not name:
        return "has an empty name"
    if any(0xD800 <= ord(c) <= 0xDFFF for c in name):
        return "has a name that is not valid UTF-8"
    if "\ufffe" in name or "\uffff" in name:
        return "has a character that XML cannot carry"
    bad = sorted(INVALID_NAME_CHARS.intersection(name))
    if bad:
        shown = ", ".join(repr(c) if c >= " " else "U+%04X" % ord(c) for c in bad)
        return "has characters Windows does not allow in names: " + shown
    if set(name) <= {".", " "} and name.count(".") >= 2:
        return "has a parent-folder component %r" % name
    if name[-1] in ". ":
        return "has a name ending in a dot or a space, which Windows drops: %r" % name
    if windows_upper(name.split(".")[0].rstrip(" ")) in RESERVED_DEVICES:
        return "uses the reserved device name %r" % name
    if utf16_units(name) > MAX_NAME_UNITS:
        return "has a name longer than %d characters" % MAX_NAME_UNITS
    return None


def path_problem(parts):
    """Why the relative path made of `parts` cannot be written by the updater, or None."""
    for part in parts:
        problem = name_problem(part)
        if problem:
            return problem
    joined = "\\".join(parts)
    if utf16_units(joined) > MAX_PATH_UNITS:
        return "is %d characters long; Windows allows %d" % (utf16_units(joined), MAX_PATH_UNITS)
    if windows_upper(joined) in UPDATER_OWN_PATHS:
        return "is a name the updater keeps for its own files"
    return None


def case_collisions(paths):
    """Pairs (earlier, later) of paths that name the same file or folder on Windows."""
    files, folders, found = {}, {}, []
    for parts in paths:
        key = windows_upper("\\".join(parts))
        if key in files and files[key] != parts:
            found.append((files[key], parts))
        elif key in folders:
            found.append((folders[key], parts))
        files.setdefault(key, parts)
        for depth in range(1, len(parts)):
            folder = parts[:depth]
            folder_key = windows_upper("\\".join(folder))
            if folder_key in files:
                found.append((files[folder_key], parts))
            folders.setdefault(folder_key, folder)
    return found


# ---------------------------------------------------------------- digests

def new_md5():
    try:
        return hashlib.md5(usedforsecurity=False)  # allowed on FIPS-mode servers
    except TypeError:  # Python before 3.9
        return hashlib.md5()


def digest_stream(stream, progress):
    """(byte count, lowercase hex MD5) of everything `stream` yields, read in chunks."""
    md5, size = new_md5(), 0
    while True:
        chunk = stream.read(CHUNK_BYTES)
        if not chunk:
            return size, md5.hexdigest()
        size += len(chunk)
        md5.update(chunk)
        progress.add_bytes(len(chunk))


# ---------------------------------------------------------------- build

def xml_attr(value):
    """Attribute text; tab, CR and LF become references so attribute normalisation keeps them."""
    out = []
    for c in value:
        if c in '&<>"':
            out.append({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c])
        elif ord(c) < 0x20:
            out.append("&#%d;" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def render_manifest(entries):
    """Manifest bytes for (parts, size, md5, src) entries: UTF-8, one file element per line."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', '<update version="%s">' % MANIFEST_VERSION]
    for parts, size, md5, src in entries:
        lines.append('  <file path="%s" size="%d" md5="%s" src="%s"/>'
                     % (xml_attr("\\".join(parts)), size, md5, xml_attr(src)))
    lines.append("</update>")
    return ("\n".join(lines) + "\n").encode("utf-8")


def checked_base_url(url):
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") or not parts.netloc:
        raise Refusal("--base-url must be an absolute http:// or https:// URL: %r" % url,
                      EXIT_REFUSED)
    if parts.query or parts.fragment or url.endswith(("?", "#")):
        raise Refusal("--base-url must name a folder, without ? or #: %r" % url, EXIT_REFUSED)
    if any(c.isspace() or ord(c) < 0x20 or c in '"<>' for c in url):
        raise Refusal("--base-url has blanks, quotes or control characters: %r" % url,
                      EXIT_REFUSED)
    return url if url.endswith("/") else url + "/"


def walk_pack(root, skip):
    """Sorted component tuples of the regular files under `root`, leaving out `skip`."""
    found, pending = [], [()]
    while pending:
        folder = pending.pop()
        try:
            with os.scandir(os.path.join(root, *folder)) as listing:
                items = list(listing)
        except OSError as error:
            raise Refusal("cannot list %s: %s" % (error.filename, error.strerror), EXIT_REFUSED)
        for item in items:
            parts = folder + (item.name,)
            shown = "/".join(parts)
            if item.is_symlink():
                warn("skipping symbolic link %s" % shown)
            elif item.is_dir(follow_symlinks=False):
                pending.append(parts)
            elif not item.is_file(follow_symlinks=False):
                warn("skipping %s: not a regular file" % shown)
            elif parts != skip:
                found.append(parts)
    return sorted(found)


def output_inside(pack_root, output):
    """The output's component tuple when it lies inside the pack, else None."""
    if output == "-":
        return None
    where = os.path.join(os.path.realpath(os.path.dirname(os.path.abspath(output))),
                         os.path.basename(output))
    rel = os.path.relpath(where, pack_root)
    if rel == os.pardir or rel.startswith(os.pardir + os.sep):
        return None
    return tuple(rel.split(os.sep))


def write_atomically(output, data):
    if output == "-":
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(output))
    try:
        mode = os.stat(output).st_mode & 0o7777
    except OSError:
        mode = 0o644  # readable by the web server
    try:
        handle, temp = tempfile.mkstemp(dir=folder, prefix=".mkmanifest-", suffix=".tmp")
    except OSError as error:
        raise Refusal("cannot write in %s: %s" % (folder, error.strerror), EXIT_REFUSED)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temp, mode)
        os.replace(temp, output)
    except OSError as error:
        os.unlink(temp)
        raise Refusal("cannot write %s: %s" % (output, error.strerror), EXIT_REFUSED)


def file_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # reading it will say what is wrong


def build(pack_dir, base_url, output, show_progress):
    base = checked_base_url(base_url)
    if not os.path.isdir(pack_dir):
        raise Refusal("%s is not a folder" % pack_dir, EXIT_REFUSED)
    root = os.path.realpath(pack_dir)
    paths = walk_pack(root, output_inside(root, output))

    problems = []
    for parts in paths:
        problem = path_problem(parts)
        if problem:
            problems.append("%s %s" % ("/".join(parts), problem))
    for first, second in case_collisions(paths):
        problems.append("%s clashes with %s: names that differ only by letter case are one "
                        "name on Windows" % ("/".join(second), "/".join(first)))
    if problems:
        raise Refusal("refusing to build: players could not use these files:\n  "
                      + "\n  ".join(problems), EXIT_REFUSED)

    entries = []
    progress = Progress("hashed", len(paths), sum(file_size(os.path.join(root, *parts)) for parts in paths),
                        show_progress)
    try:
        for parts in paths:
            try:
                with open(os.path.join(root, *parts), "rb") as stream:
                    size, md5 = digest_stream(stream, progress)
            except OSError as error:
                raise Refusal("cannot read %s: %s" % ("/".join(parts), error.strerror), EXIT_REFUSED)
            if size > MAX_EXACT_SIZE:
                progress.clear()
                warn("%s is %d bytes: the updater's progress bar counts it as %d"
                     % ("/".join(parts), size, MAX_EXACT_SIZE))
            src = base + urllib.parse.quote("/".join(parts), safe="/")
            entries.append((parts, size, md5, src))
            progress.file_done(size)
    finally:
        progress.clear()
    write_atomically(output, render_manifest(entries))
    return EXIT_OK


# ---------------------------------------------------------------- check

def is_url(text):
    return text.lower().startswith(("http://", "https://"))


def open_url(url, timeout):
    """The response to a GET of `url`; raises OSError or HTTPException on any failure."""
    return urllib.request.urlopen(url, timeout=timeout)  # HTTPError for statuses >= 400


def ascii_lower(text):
    return text.translate(ASCII_LOWER)


def parse_manifest(data):
    """List of dicts with path, size, md5, src; raises Refusal when the updater would reject it.

    Parsed like the updater does: without namespace processing, names matched without regard
    to ASCII case, a depth counter deciding where an element may stand.
    """
    entries, faults, depth = [], [], 0

    def on_declaration(version, encoding, standalone):
        if encoding and encoding.upper() not in PARSER_ENCODINGS:
            faults.append("encoding %r is not one the updater reads" % encoding)

    def on_start(name, attributes):
        nonlocal depth
        depth += 1
        pairs = [(ascii_lower(attributes[i]), attributes[i + 1])
                 for i in range(0, len(attributes), 2)]
        if ascii_lower(name) == "update" and depth == 1:
            for key, value in pairs:
                if key == "version" and ascii_lower(value) != MANIFEST_VERSION:
                    faults.append("version %r is not %r" % (value, MANIFEST_VERSION))
        elif ascii_lower(name) == "file" and depth == 2:
            values = {key: value for key, value in pairs if key in FILE_ATTRIBUTES}  # last wins
            missing = [key for key in FILE_ATTRIBUTES
                       if key not in values or (key != "size" and not values[key])]
            if missing:
                faults.append("<file> %d has no %s" % (len(entries) + 1, " or ".join(missing)))
            entries.append(values)
        else:
            faults.append("<%s> may not stand at line %d" % (name, parser.CurrentLineNumber))

    def on_end(name):
        nonlocal depth
        depth -= 1

    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True  # document order, so the last of a repeated name wins
    parser.XmlDeclHandler = on_declaration
    parser.StartElementHandler = on_start
    parser.EndElementHandler = on_end
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as error:
        faults.append(str(error))
    if faults:
        raise Refusal("invalid manifest: " + faults[0], EXIT_PROBLEMS)
    return entries


def read_manifest(source, timeout):
    try:
        if is_url(source):
            with open_url(source, timeout) as response:
                return response.read()
        with open(source, "rb") as stream:
            return stream.read()
    except (OSError, http.client.HTTPException) as error:
        raise Refusal("cannot read the manifest %s: %s" % (source, error), EXIT_PROBLEMS)


def fetch_digest(entry, parts, pack_dir, timeout, progress):
    """(size, md5) of the file an entry names, or an error text."""
    try:
        if pack_dir is None:
            with open_url(entry["src"], timeout) as response:
                size, md5 = digest_stream(response, progress)
                promised = response.headers.get("Content-Length", "")
                # A fixed-length body cut by a hang-up just ends early; only the promised length tells.
                if re.fullmatch(r"[0-9]+", promised) and int(promised) != size:
                    return "cannot fetch %s: connection closed after %d of %s bytes" % (
                        entry["src"], size, promised)
                return size, md5
        with open(os.path.join(pack_dir, *parts), "rb") as stream:
            return digest_stream(stream, progress)
    except urllib.error.HTTPError as error:
        return "cannot fetch %s: HTTP status %d" % (entry["src"], error.code)
    except urllib.error.URLError as error:
        return "cannot fetch %s: %s" % (entry["src"], error.reason)
    except http.client.IncompleteRead as error:
        return "cannot fetch %s: connection closed after %d bytes" % (entry["src"], len(error.partial))
    except (OSError, http.client.HTTPException) as error:
        where = entry["src"] if pack_dir is None else os.path.join(pack_dir, *parts)
        return "cannot %s %s: %s" % ("fetch" if pack_dir is None else "read", where,
                                     error.strerror or error)


def manifest_parts(path):
    return tuple(re.split(r"[\\/]", path))  # the updater takes "/" and "\\" alike


def entry_problems(entry, pack_dir, timeout, progress):
    parts = manifest_parts(entry["path"])
    problems = []
    bad_path = path_problem(parts)
    if bad_path:
        problems.append("path " + bad_path)
    size_ok = re.fullmatch(r"[0-9]+", entry["size"]) is not None
    if not size_ok:
        problems.append("size %r is not a decimal byte count" % entry["size"])
    if not is_url(entry["src"]):
        problems.append("src %r is not an http:// or https:// URL" % entry["src"])
        if pack_dir is None:
            return problems
    if pack_dir is not None and bad_path:
        return problems  # such a path cannot be mapped safely into the folder
    result = fetch_digest(entry, parts, pack_dir, timeout, progress)
    if isinstance(result, str):
        return problems + [result]
    size, md5 = result
    if size_ok and int(entry["size"]) != size:
        problems.append("size %s in the manifest, %d found" % (entry["size"], size))
    if ascii_lower(entry["md5"]) != md5:  # the updater folds ASCII letters only
        problems.append("md5 %s in the manifest, %s found" % (entry["md5"], md5))
    return problems


def listed_size(entry):
    return int(entry["size"]) if re.fullmatch(r"[0-9]+", entry["size"]) else 0


def check(source, pack_dir, timeout, show_progress):
    entries = parse_manifest(read_manifest(source, timeout))
    if pack_dir is not None and not os.path.isdir(pack_dir):
        raise Refusal("%s is not a folder" % pack_dir, EXIT_REFUSED)
    paths = [manifest_parts(entry["path"]) for entry in entries]
    problems = []
    progress = Progress("checked", len(entries), sum(map(listed_size, entries)), show_progress)
    try:
        for entry in entries:
            problems.append(entry_problems(entry, pack_dir, timeout, progress))
            progress.file_done(listed_size(entry))
    finally:
        progress.clear()
    for first, second in case_collisions(paths):
        problems[paths.index(second)].append("same file on Windows as " + "\\".join(first))
    failed = 0
    for entry, found in zip(entries, problems):
        if found:
            failed += 1
            print("%s: %s" % (entry["path"], "; ".join(found)))
    print("%d files checked: %d match, %d with problems"
          % (len(entries), len(entries) - failed, failed))
    return EXIT_PROBLEMS if failed else EXIT_OK


# ---------------------------------------------------------------- command line

def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="mkmanifest.py", description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("build", help="write the manifest of a pack folder")
    make.add_argument("pack_dir", metavar="PACK_DIR")
    make.add_argument("--base-url", required=True, metavar="URL",
                      help="URL of the folder that serves PACK_DIR")
    make.add_argument("-o", "--output", default=DEFAULT_OUTPUT,
                      help="manifest file, '-' for standard output (default: %(default)s)")
    make.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    verify = commands.add_parser("check", help="compare a published manifest with its files")
    verify.add_argument("manifest", metavar="MANIFEST_URL_OR_FILE")
    verify.add_argument("--pack-dir", metavar="DIR", help="read the files here instead of src")
    verify.add_argument("--timeout", type=float, default=NETWORK_TIMEOUT_S, metavar="SECONDS",
                        help="network time-out per read (default: %(default)s)")
    verify.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(errors="backslashreplace")
    show_progress = not args.quiet and sys.stderr.isatty()
    try:
        if args.command == "build":
            return build(args.pack_dir, args.base_url, args.output, show_progress)
        return check(args.manifest, args.pack_dir, args.timeout, show_progress)
    except Refusal as refusal:
        sys.stdout.flush()
        print("mkmanifest: %s" % refusal, file=sys.stderr)
        return refusal.status


if __name__ == "__main__":
    sys.exit(main())
