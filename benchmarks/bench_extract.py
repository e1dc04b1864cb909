"""Extraction speed on real application sources, against its baselines in the same run.

    python benchmarks/bench_extract.py [--repeats 5] [--packages gramps,meld,...]

Set-up (once, cached outside the repository in ~/.cache/qel_i18n-benchmarks or under
$XDG_CACHE_HOME): downloads Debian packages of applications that mark their messages with
`_("...")` (`apt-get download`), unpacks their Python sources and gathers them into one
corpus tree. Files the host's own scan cannot take (text that is not UTF-8, marked texts that
do not decode, such as `C_("context", "message")`) are left out, so that every contender
handles the same files; the set-up says how many.

Timed, each `--repeats` times, reporting medians:
  - three floors: reading every file line by line through open() and doing nothing else; its
    whole text at once (`read()`), which is the decoding any scan needs; its bytes (`"rb"`);
  - `qel_i18n.parse_directory(catalogue, corpus, ".py")` into a new catalogue, and the same with
    `os.fsync` made a no-op, which gives what bringing the catalogue to the disk costs (the
    catalogue is written under --output, by default a temporary directory: put it on the disk
    whose cost is wanted);
  - a plain-Python scan of the same files (re.finditer, json.loads, a dict);
  - GNU `xgettext --language=Python` on the same files.
"""

import argparse
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import qel_i18n

PACKAGES = [
    "gramps", "meld", "quodlibet", "virt-manager", "gajim", "deluge-common", "zim", "terminator",
    "blueman", "solaar", "catfish", "menulibre", "pitivi", "gnome-tweaks",
    "system-config-printer-common", "hamster-time-tracker", "gufw", "rednotebook",
]

PATTERN = re.compile(r'_\(u?"(.*?[^\\])"\)')


def cache_directory():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "qel_i18n-benchmarks")


def scan_plainly(name, cache):
    """The scan in plain Python."""
    with open(name, "r", encoding="utf8") as file:
        for line_index, line in enumerate(file):
            position = None
            for match in PATTERN.finditer(line):
                if position is None:
                    position = f"{name}: {line_index + 1:04}"
                message = json.loads('"' + match.groups()[0] + '"')
                key = (position, message)
                if key not in cache:
                    cache[key] = [True, [position, message]]
                else:
                    cache[key][0] = True


def fetch(packages, root):
    """Downloads and unpacks the packages not unpacked yet; returns those that are there."""
    debs = os.path.join(root, "debs")
    trees = os.path.join(root, "trees")
    os.makedirs(debs, exist_ok=True)
    os.makedirs(trees, exist_ok=True)
    present = []
    for package in packages:
        tree = os.path.join(trees, package)
        if not os.path.isdir(tree):
            found = glob.glob(os.path.join(debs, f"{package}_*.deb"))
            if not found:
                done = subprocess.run(["apt-get", "download", package], cwd=debs,
                                      capture_output=True, text=True)
                found = glob.glob(os.path.join(debs, f"{package}_*.deb"))
                if done.returncode != 0 or not found:
                    print(f"  {package}: not downloaded ({done.stderr.strip()[:80]})")
                    continue
            staging = tree + ".partial"
            shutil.rmtree(staging, ignore_errors=True)
            subprocess.run(["dpkg-deb", "-x", found[0], staging], check=True)
            os.rename(staging, tree)
        present.append(package)
    return present


def build_corpus(packages, root):
    """Gathers the usable Python sources of the packages into one tree; returns its path and
    the counts of files taken and left out."""
    corpus = os.path.join(root, "corpus-" + "-".join(sorted(packages))[:80])
    marker = os.path.join(corpus, ".complete")
    if os.path.exists(marker):
        with open(marker) as file:
            return corpus, json.load(file)
    shutil.rmtree(corpus, ignore_errors=True)
    taken = left_out = 0
    for package in packages:
        tree = os.path.join(root, "trees", package)
        for name in sorted(glob.glob("**/*.py", root_dir=tree, recursive=True)):
            source = os.path.join(tree, name)
            if not os.path.isfile(source) or os.path.islink(source):
                continue
            try:
                scan_plainly(source, {})
            except (UnicodeDecodeError, ValueError):
                left_out += 1
                continue
            target = os.path.join(corpus, package, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(source, target)
            taken += 1
    counts = {"taken": taken, "left out": left_out}
    with open(marker, "w") as file:
        json.dump(counts, file)
    return corpus, counts


def read_floor(names):
    for name in names:
        with open(name, "r", encoding="utf8") as file:
            for _ in file:
                pass


def text_floor(names):
    for name in names:
        with open(name, "r", encoding="utf8") as file:
            file.read()


def bytes_floor(names):
    for name in names:
        with open(name, "rb") as file:
            file.read()


def plain_scan(names):
    cache = {}
    for name in names:
        scan_plainly(name, cache)
    return cache


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--packages", default=",".join(PACKAGES))
    parser.add_argument("--output", help="the directory the catalogue is written in")
    args = parser.parse_args()

    root = cache_directory()
    print(f"corpus cache: {root}")
    packages = fetch(args.packages.split(","), root)
    corpus, counts = build_corpus(packages, root)
    os.chdir(corpus)
    names = sorted(glob.glob("**/*.py", recursive=True))
    lines = 0
    for name in names:
        with open(name, encoding="utf8") as file:
            lines += sum(1 for _ in file)
    messages = len(plain_scan(names))
    print(f"{len(packages)} applications, {len(names)} files ({counts['left out']} left out), "
          f"{lines} lines, {messages} marked messages")

    output = tempfile.mkdtemp(prefix="qel_i18n-extract-", dir=args.output)
    catalogue = os.path.join(output, "messages.csv")
    file_list = os.path.join(output, "files.txt")
    with open(file_list, "w", encoding="utf8") as file:
        file.write("\n".join(names) + "\n")
    xgettext = shutil.which("xgettext")

    def run_parse_directory():
        if os.path.exists(catalogue):
            os.remove(catalogue)
        qel_i18n.parse_directory(catalogue, ".", ".py")

    def run_parse_directory_unsynced():
        real_fsync, os.fsync = os.fsync, lambda descriptor: None
        try:
            run_parse_directory()
        finally:
            os.fsync = real_fsync

    def run_xgettext():
        subprocess.run([xgettext, "--language=Python", "--from-code=UTF-8", "--files-from",
                        file_list, "-o", os.path.join(output, "messages.pot")], check=True,
                       capture_output=True)

    contenders = {
        "floor (read lines)": lambda: read_floor(names),
        "floor (whole text)": lambda: text_floor(names),
        "floor (bytes)": lambda: bytes_floor(names),
        "parse_directory": run_parse_directory,
        "... without fsync": run_parse_directory_unsynced,
        "plain-Python scan": lambda: plain_scan(names),
    }
    if xgettext:
        contenders["xgettext"] = run_xgettext
    else:
        print("xgettext not found (Debian package gettext): left out")
    times = {name: [] for name in contenders}
    for name, run in contenders.items():  # warm the page cache and the imports
        run()
    for _ in range(args.repeats):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    # The catalogue is the one the line-by-line path writes: rebinding the pattern to an equal
    # object makes every file go through the host's finditer, line by line.
    with open(catalogue, "rb") as file:
        fast = file.read()
    saved = qel_i18n._the_pattern
    qel_i18n._the_pattern = re.compile(saved.pattern + "(?:)")
    try:
        run_parse_directory()
    finally:
        qel_i18n._the_pattern = saved
    with open(catalogue, "rb") as file:
        same = file.read() == fast
    print(f"catalogue ({len(fast)} bytes) the same as the line-by-line path's: {same}")
    shutil.rmtree(output)

    medians = {name: statistics.median(values) for name, values in times.items()}
    floor = medians["floor (read lines)"]
    ours = medians["parse_directory"]
    text = medians["floor (whole text)"]
    print(f"\nmedians of {args.repeats} runs, and ratios to the line floor and the text floor:")
    for name, median in medians.items():
        print(f"  {name:20} {median * 1000:9.1f} ms   {median / floor:5.2f} x lines"
              f"   {median / text:5.2f} x text")
    print(f"\n  parse_directory / without fsync      {ours / medians['... without fsync']:5.2f}")
    print(f"  plain-Python scan / parse_directory  {medians['plain-Python scan'] / ours:5.2f}")
    if xgettext:
        print(f"  xgettext / parse_directory           {medians['xgettext'] / ours:5.2f}")


if __name__ == "__main__":
    sys.exit(main())
