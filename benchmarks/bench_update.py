"""`qel-i18n update` on whole application trees: what it finds, what it costs, what it imports.

    python benchmarks/bench_update.py [--parts reach,speed,gettext] [--repeats 5]
        [--packages gramps,meld,...] [--update-args "--scanner native"]
        [--gettext-packages meld,terminator,...] [--lang fr] [--profile 25] [-v]

Uses the Debian packages of bench_extract.py, fetched and unpacked once into its cache
(~/.cache/qel_i18n-benchmarks or under $XDG_CACHE_HOME). Three parts, each a table:

reach    Every tree taken whole, as unpacked. The referee is Python's own tokenizer: in every
         `.py` file that `update` scans (the same glob, the same names), a literal marked call
         is a NAME `_` or `N_` (also after `.`, not right after `def` or `class`), then `(`,
         then one or more STRING tokens, then `)` or `,`; comments and NL tokens may come
         between. Its message is the concatenation of the strings' values; a call with an
         f-string or bytes is not a literal call. `update CATALOGUE TREE --no-fill` runs in
         this process on a new catalogue; per tree: its exit status, the share of the
         referee's (position, message) pairs that the catalogue holds, and its rows that match
         no literal call. Files the tokenizer refuses are counted apart, and so are the rows
         from them.
speed    Side by side, `--repeats` times interleaved, medians: reading every file's text, the
         module's `parse_directory` and `update --no-fill` over the same files (the corpus of
         bench_extract.py, the files the module's own scanner takes), `update --scanner module`
         when the command has that option, `update --no-fill` over the whole trees in one call,
         and `parse_directory` over each whole tree in turn.
gettext  For packages that ship `.mo` files: the domain's `.mo` for `--lang` through
         `msgunfmt`, a catalogue made by `update` of the tree, `add-lang`, `import-po`; counts
         the PO entries whose msgid is a literal marked call and those the catalogue now holds
         translated.

`--profile N` adds the N costliest functions of one `update --no-fill` over the corpus under
cProfile, as shares of its total.
"""

import argparse
import ast
import contextlib
import cProfile
import csv
import glob
import io
import os
import pstats
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tokenize
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import qel_i18n
from bench_extract import PACKAGES, build_corpus, cache_directory, fetch
from qel_i18n_tools.cli import build_parser
from qel_i18n_tools.cli import main as command

KEYWORDS = {"_", "N_"}
GETTEXT_PACKAGES = [
    "meld", "terminator", "catfish", "menulibre", "gnome-tweaks", "solaar", "deluge-common",
    "hamster-time-tracker",
]
SKIPPED = {tokenize.NL, tokenize.COMMENT}


# ---------------------------------------------------------------------------------------------
# The referee


def source_names(tree, suffix=".py"):
    """The files `update` scans in a directory: the recursive glob of `parse_directory`, each
    named TREE + separator + relative name, directories left out."""
    names = []
    for relative in glob.glob("**/*" + suffix, root_dir=tree, recursive=True):
        name = tree + os.sep + relative
        if not os.path.isdir(name):
            names.append(name)
    return names


class Referee:
    """The literal marked calls of a set of files, by Python's tokenizer."""

    def __init__(self):
        self.pairs = set()  # (position, message)
        self.calls = 0  # literal calls, with repeats
        self.refused = {}  # file name -> why the tokenizer refused it
        self.not_literal = 0  # marked calls with an f-string, bytes or a string that fails
        self.encodings = {}  # encoding other than utf-8 -> files

    def add_file(self, name):
        try:
            with open(name, "rb") as file:
                tokens = list(tokenize.tokenize(file.readline))
        except (SyntaxError, tokenize.TokenError, UnicodeDecodeError, ValueError, OSError) as error:
            self.refused[name] = f"{type(error).__name__}: {error}"
            return
        if tokens and tokens[0].type == tokenize.ENCODING and tokens[0].string != "utf-8":
            self.encodings.setdefault(tokens[0].string, []).append(name)
        significant = [token for token in tokens if token.type not in SKIPPED]
        for index, token in enumerate(significant):
            if token.type != tokenize.NAME or token.string not in KEYWORDS:
                continue
            if index > 0 and significant[index - 1].type == tokenize.NAME and \
                    significant[index - 1].string in ("def", "class"):
                continue
            if index + 1 >= len(significant) or significant[index + 1].string != "(" or \
                    significant[index + 1].type != tokenize.OP:
                continue
            end = index + 2
            while end < len(significant) and significant[end].type == tokenize.STRING:
                end += 1
            strings = significant[index + 2:end]
            if not strings:
                if end < len(significant) and significant[end].type == tokenize.FSTRING_START:
                    self.not_literal += 1
                continue
            closing = significant[end] if end < len(significant) else None
            if closing is None or closing.type != tokenize.OP or closing.string not in (")", ","):
                if closing is not None and closing.type == tokenize.FSTRING_START:
                    self.not_literal += 1
                continue
            try:
                values = [ast.literal_eval(string.string) for string in strings]
            except (SyntaxError, ValueError):
                self.not_literal += 1
                continue
            if not all(isinstance(value, str) for value in values) or not "".join(values):
                self.not_literal += 1  # an empty message has no row either
                continue
            self.pairs.add((f"{name}: {token.start[0]:04}", "".join(values)))
            self.calls += 1


def referee_of(names):
    referee = Referee()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escapes in the sources are not our business
        for name in names:
            referee.add_file(name)
    return referee


# ---------------------------------------------------------------------------------------------
# Running the command in this process


def run_command(argv):
    """Runs `qel-i18n ARGV` in this process; returns its exit status and what it printed."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = command(argv)
        except SystemExit as stop:  # argparse refused the arguments
            status = stop.code if isinstance(stop.code, int) else 2
    return status, out.getvalue(), err.getvalue()


def read_rows(catalogue):
    """The catalogue's data rows, as lists of cells; none when there is no file."""
    if not os.path.exists(catalogue):
        return [], []
    with open(catalogue, newline="", encoding="utf8") as file:
        records = list(csv.reader(file))
    return (records[0] if records else []), records[1:]


def fresh(catalogue):
    for name in (catalogue, catalogue[: catalogue.rfind(".")] + "-excess.csv"):
        if os.path.exists(name):
            os.remove(name)


def accepts_option(verb, *option):
    """Whether the installed command's VERB takes the option (with its value)."""
    parser = build_parser()
    with contextlib.redirect_stderr(io.StringIO()):
        try:
            _, extra = parser.parse_known_args([verb, "catalogue.csv", "path", *option])
        except SystemExit:
            return False
    return not extra


def short(text, width=100):
    text = " ".join(text.split())
    return text if len(text) <= width else text[: width - 3] + "..."


# ---------------------------------------------------------------------------------------------
# Part 1: reach


def reach(trees, update_args, verbose, examples, referees):
    print("\n== reach: update of each whole tree against the tokenizer's literal marked calls ==")
    print(f"   update arguments: --no-fill {' '.join(update_args)}")
    output = tempfile.mkdtemp(prefix="qel_i18n-reach-")
    header = (f"{'tree':30} {'files':>5} {'refused':>7} {'pairs':>6} {'exit':>4} "
              f"{'reach %':>8} {'missed':>6} {'rows':>6} {'unmatched':>9} {'in refused':>10}")
    print(header)
    total = {key: 0 for key in ("files", "refused", "calls", "found", "missed", "rows",
                                "unmatched", "unmatched_refused", "failed")}
    errors, misses, extras = [], [], []
    for tree in trees:
        names = source_names(tree)
        referee = referees[tree] = referee_of(names)
        catalogue = os.path.join(output, os.path.basename(tree) + ".csv")
        fresh(catalogue)
        status, _, err = run_command(["update", catalogue, tree, "--no-fill", *update_args])
        if status != 0:
            errors.append(f"{tree}: exit {status}: {short(err, 300)}")
            total["failed"] += 1
        _, rows = read_rows(catalogue)
        pairs = {(row[0], row[1]) for row in rows if len(row) >= 2}
        found = referee.pairs & pairs
        missed = sorted(referee.pairs - pairs)
        unmatched = sorted(pairs - referee.pairs)
        in_refused = [pair for pair in unmatched
                      if pair[0].rsplit(": ", 1)[0] in referee.refused]
        share = 100.0 * len(found) / len(referee.pairs) if referee.pairs else 100.0
        print(f"{os.path.basename(tree):30} {len(names):5} {len(referee.refused):7} "
              f"{len(referee.pairs):6} {status:4} {share:8.2f} {len(missed):6} {len(rows):6} "
              f"{len(unmatched):9} {len(in_refused):10}")
        misses += missed[:examples]
        extras += [pair for pair in unmatched if pair not in in_refused][:examples]
        for key, value in (("files", len(names)), ("refused", len(referee.refused)),
                           ("calls", len(referee.pairs)), ("found", len(found)),
                           ("missed", len(missed)), ("rows", len(rows)),
                           ("unmatched", len(unmatched)), ("unmatched_refused", len(in_refused))):
            total[key] += value
    share = 100.0 * total["found"] / total["calls"] if total["calls"] else 100.0
    unmatched_share = 100.0 * total["unmatched"] / total["rows"] if total["rows"] else 0.0
    print(f"{'total (' + str(len(trees)) + ' trees)':30} {total['files']:5} {total['refused']:7} "
          f"{total['calls']:6} {total['failed']:4} {share:8.2f} {total['missed']:6} "
          f"{total['rows']:6} {total['unmatched']:9} {total['unmatched_refused']:10}")
    print(f"   trees that failed: {total['failed']}; reach {share:.2f} % of "
          f"{total['calls']} (position, message) pairs; rows matching no call "
          f"{unmatched_share:.2f} % of {total['rows']} "
          f"({total['unmatched_refused']} of them in files the tokenizer refuses)")
    calls = sum(referee.calls for referee in referees.values())
    not_literal = sum(referee.not_literal for referee in referees.values())
    print(f"   referee: {calls} literal calls ({total['calls']} distinct pairs); "
          f"{not_literal} marked calls left out as not literal (f-string, bytes, bad escape)")
    for line in errors:
        print("   " + line)
    encodings = {}
    for referee in referees.values():
        for encoding, names in referee.encodings.items():
            encodings.setdefault(encoding, []).extend(names)
    for encoding, names in sorted(encodings.items()):
        print(f"   {len(names)} file(s) declared {encoding}" +
              (": " + ", ".join(names[:3]) if verbose else ""))
    if verbose:
        for referee in referees.values():
            for name, why in sorted(referee.refused.items()):
                print(f"   refused by tokenize: {name}: {short(why)}")
        for position, message in misses:
            print(f"   missed   {position}  {message!r:.100}")
        for position, message in extras:
            print(f"   no call  {position}  {message!r:.100}")
    shutil.rmtree(output)


# ---------------------------------------------------------------------------------------------
# Part 2: speed


def speed(trees, corpus, counts, update_args, repeats):
    print("\n== speed: side by side, interleaved, medians ==")
    corpus_names = source_names(corpus)
    tree_files = sum(len(source_names(tree)) for tree in trees)
    print(f"   corpus: {len(corpus_names)} files ({counts['left out']} left out as the module's "
          f"own scan refuses them); whole trees: {tree_files} files in {len(trees)} trees")
    output = tempfile.mkdtemp(prefix="qel_i18n-speed-")
    catalogue = os.path.join(output, "messages.csv")
    statuses = {}

    def text_floor():
        for name in corpus_names:
            with open(name, encoding="utf8") as file:
                file.read()

    def parse_directory():
        fresh(catalogue)
        qel_i18n.parse_directory(catalogue, corpus, ".py")

    def update(label, paths, extra):
        def run():
            fresh(catalogue)
            statuses[label] = run_command(["update", catalogue, *paths, "--no-fill", *extra])[0]
        return run

    contenders = {
        "floor (whole text)": text_floor,
        "parse_directory": parse_directory,
        "update": update("update", [corpus], update_args),
    }
    if accepts_option("update", "--scanner", "module"):
        contenders["update --scanner module"] = update(
            "update --scanner module", [corpus], [*update_args, "--scanner", "module"])
    else:
        print("   update --scanner module: the command has no such option: left out")
    contenders["update (whole trees)"] = update("update (whole trees)", trees, update_args)

    def parse_each_tree():
        """parse_directory over each whole tree in turn, into a catalogue of its own: the same
        walks and files; a tree with a file the module cannot decode stops there."""
        for index, tree in enumerate(trees):
            name = os.path.join(output, f"tree{index}.csv")
            fresh(name)
            try:
                qel_i18n.parse_directory(name, tree, ".py")
            except ValueError:
                statuses["parse_directory (each whole tree)"] = "fails"

    contenders["parse_directory (each whole tree)"] = parse_each_tree

    same_where_they_agree(corpus_names, output)

    times = {label: [] for label in contenders}
    for run in contenders.values():  # warm the page cache and the imports
        run()
    labels = list(contenders)
    for repeat in range(repeats):
        # each repeat starts one contender later, so that none always runs right after another
        order = labels[repeat % len(labels):] + labels[: repeat % len(labels)]
        for label in order:
            start = time.perf_counter()
            contenders[label]()
            times[label].append(time.perf_counter() - start)
    shutil.rmtree(output)

    medians = {label: statistics.median(values) for label, values in times.items()}
    base = medians["parse_directory"]
    floor = medians["floor (whole text)"]
    print(f"   medians of {repeats} runs; ratios to parse_directory and to the text floor")
    print(f"   {'':28} {'ms':>9} {'x parse_dir':>11} {'x text':>7} {'exit':>5}")
    for label, median in medians.items():
        status = statuses.get(label, "")
        print(f"   {label:28} {median * 1000:9.1f} {median / base:11.2f} "
              f"{median / floor:7.2f} {status!s:>5}")
    spread = {label: (min(values) / medians[label], max(values) / medians[label])
              for label, values in times.items()}
    print("   spread (min, max over median): " + ", ".join(
        f"{label} {low:.2f}-{high:.2f}" for label, (low, high) in spread.items()))
    print(f"   update / parse_directory (same files): {medians['update'] / base:.3f}")
    if "update --scanner module" in medians:
        print(f"   update --scanner module / parse_directory: "
              f"{medians['update --scanner module'] / base:.3f}")
    print(f"   update (whole trees) / parse_directory (each whole tree): "
          f"{medians['update (whole trees)'] / medians['parse_directory (each whole tree)']:.3f}"
          f"  (exit {statuses.get('update (whole trees)')}; parse_directory stops on one file "
          f"of one tree)")


def same_where_they_agree(names, output):
    """On the files where both scanners find the same (position, message) pairs (every marked
    call one double-quoted literal on its marker's line that JSON decodes, and no `_("...")` in
    a comment or a string), update writes parse_directory's catalogue byte for byte."""
    from qel_i18n_tools import _native

    agreeing = []
    for name in names:
        module, ours = {}, {}
        qel_i18n._parse_one_file(name, module)
        _native.Extractor()(name, ours)
        if module.keys() == ours.keys():
            agreeing.append(name)
    tree = os.path.join(output, "agreeing")
    for name in agreeing:
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        shutil.copyfile(name, os.path.join(tree, name))
    # From the directory that holds the tree, which update takes as the root its positions are
    # relative to (no pyproject.toml above it), as parse_directory's are to a relative name.
    with contextlib.chdir(output):
        catalogue = "agreeing.csv"
        qel_i18n.parse_directory(catalogue, "agreeing", ".py")
        with open(catalogue, "rb") as file:
            expected = file.read()
        fresh(catalogue)
        status = run_command(["update", catalogue, "agreeing", "--no-fill"])[0]
        with open(catalogue, "rb") as file:
            same = file.read() == expected
    print(f"   files where both scanners find the same pairs: {len(agreeing)} of {len(names)}; "
          f"update's catalogue of them is parse_directory's ({len(expected)} bytes): {same} "
          f"(exit {status})")


def profile(corpus, update_args, top):
    print(f"\n== profile: one update --no-fill over the corpus, top {top} by own time ==")
    output = tempfile.mkdtemp(prefix="qel_i18n-profile-")
    catalogue = os.path.join(output, "messages.csv")
    run_command(["update", catalogue, corpus, "--no-fill", *update_args])  # warm
    fresh(catalogue)
    profiler = cProfile.Profile()
    profiler.enable()
    run_command(["update", catalogue, corpus, "--no-fill", *update_args])
    profiler.disable()
    shutil.rmtree(output)
    stats = pstats.Stats(profiler)
    total = stats.total_tt
    entries = sorted(stats.stats.items(), key=lambda item: item[1][2], reverse=True)
    print(f"   total {total * 1000:.1f} ms (under the profiler)")
    print(f"   {'own %':>6} {'cum %':>6} {'calls':>8}  function")
    for (filename, line, function), (_, calls, own, cumulative, _) in entries[:top]:
        where = f"{os.path.basename(filename)}:{line}" if filename != "~" else ""
        print(f"   {100 * own / total:6.1f} {100 * cumulative / total:6.1f} {calls:8}  "
              f"{function} {where}")


# ---------------------------------------------------------------------------------------------
# Part 3: gettext import


def choose_mo(tree, package, language, domain):
    """The package's .mo file for the language: the given domain, else the one named after the
    package (or the first part of its name), else the largest."""
    found = glob.glob(f"**/{language}/LC_MESSAGES/*.mo", root_dir=tree, recursive=True)
    if not found:
        return None
    by_domain = {os.path.basename(name)[:-3]: os.path.join(tree, name) for name in found}
    if domain:
        return by_domain.get(domain)
    for stem, path in by_domain.items():
        if package == stem or package.startswith(stem + "-"):
            return path
    return max(by_domain.values(), key=os.path.getsize)


def gettext_import(trees_root, specs, language, update_args, verbose, referees):
    print(f"\n== gettext: a shipped .mo ({language}) imported into the update's catalogue ==")
    try:
        import polib
    except ImportError:
        print("   polib is not installed (pip install polib): left out")
        return
    if not shutil.which("msgunfmt"):
        print("   msgunfmt not found (Debian package gettext): left out")
        return
    print(f"   {'package':28} {'domain':22} {'entries':>7} {'literal':>7} {'taken':>6} "
          f"{'missing':>7} {'update':>6} {'import':>6}")
    notes = []
    total = {"entries": 0, "literal": 0, "taken": 0}
    for spec in specs:
        package, _, domain = spec.partition(":")
        tree = os.path.join(trees_root, package)
        if not os.path.isdir(tree):
            print(f"   {package:28} not fetched")
            continue
        mo = choose_mo(tree, package, language, domain)
        if mo is None:
            print(f"   {package:28} ships no {language} .mo")
            continue
        output = tempfile.mkdtemp(prefix="qel_i18n-gettext-")
        po_file = os.path.join(output, f"{language}.po")
        subprocess.run(["msgunfmt", mo, "-o", po_file], check=True, capture_output=True)
        catalogue = os.path.join(output, "messages.csv")
        updated, _, err = run_command(["update", catalogue, tree, "--no-fill", *update_args])
        if updated != 0:
            notes.append(f"{package}: update exit {updated}: {short(err, 200)}")
        imported = "-"
        if os.path.exists(catalogue):
            status, _, err = run_command(["add-lang", catalogue, language])
            if status != 0:
                notes.append(f"{package}: add-lang exit {status}: {short(err, 200)}")
            imported, _, err = run_command(
                ["import-po", catalogue, po_file, "--lang", language])
            if imported == 2:
                notes.append(f"{package}: import-po exit 2: {short(err, 200)}")
        header, rows = read_rows(catalogue)
        column = header.index(language) if language in header else None
        cells = {}
        for row in rows:
            if len(row) >= 2:
                cell = row[column] if column is not None and column < len(row) else ""
                cells.setdefault(row[1], []).append(cell)
        if tree not in referees:
            referees[tree] = referee_of(source_names(tree))
        messages = {message for _, message in referees[tree].pairs}
        entries = [entry for entry in polib.pofile(po_file)
                   if entry.msgid and not entry.obsolete and entry.msgctxt is None
                   and not entry.msgid_plural and entry.msgstr and not entry.fuzzy]
        literal = [entry for entry in entries if entry.msgid in messages]
        taken = [entry for entry in literal
                 if entry.msgid in cells and all(cell == entry.msgstr
                                                 for cell in cells[entry.msgid])]
        missing = [entry for entry in literal if entry not in taken]
        print(f"   {package:28} {os.path.basename(mo)[:-3]:22} {len(entries):7} {len(literal):7} "
              f"{len(taken):6} {len(missing):7} {updated:6} {imported!s:>6}")
        for key, value in (("entries", len(entries)), ("literal", len(literal)),
                           ("taken", len(taken))):
            total[key] += value
        if verbose:
            for entry in missing:
                state = "no row" if entry.msgid not in cells else "row not translated"
                notes.append(f"{package}: not taken ({state}): {entry.msgid!r:.100}")
        shutil.rmtree(output)
    share = 100.0 * total["taken"] / total["literal"] if total["literal"] else 100.0
    print(f"   {'total':28} {'':22} {total['entries']:7} {total['literal']:7} "
          f"{total['taken']:6} {total['literal'] - total['taken']:7}   ({share:.2f} % taken)")
    print("   entries: translated PO entries without context or plural forms; literal: those "
          "whose msgid is a literal marked call in the tree's Python files")
    for note in notes:
        print("   " + note)


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parts", default="reach,speed,gettext",
                        help="which parts to run, comma-separated (reach, speed, gettext)")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--packages", default=",".join(PACKAGES))
    parser.add_argument("--update-args", default="",
                        help="further arguments for every `update` run, as one shell text")
    parser.add_argument("--gettext-packages", default=",".join(GETTEXT_PACKAGES),
                        help="packages for the gettext part; PACKAGE:DOMAIN picks the .mo")
    parser.add_argument("--lang", default="fr", help="the language of the gettext part")
    parser.add_argument("--profile", type=int, default=0, metavar="N",
                        help="also profile one update over the corpus, showing N functions")
    parser.add_argument("--examples", type=int, default=5,
                        help="misses and unmatched rows shown per tree with -v")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    parts = set(args.parts.split(","))
    update_args = shlex.split(args.update_args)

    root = cache_directory()
    print(f"corpus cache: {root}")
    print(f"qel_i18n from {os.path.dirname(qel_i18n.__file__)}; Python {sys.version.split()[0]}")
    packages = fetch(args.packages.split(","), root)
    os.chdir(root)  # trees and corpus are named relative to the cache, as positions show them
    trees = [os.path.join("trees", package) for package in packages]
    referees = {}
    if "reach" in parts:
        reach(trees, update_args, args.verbose, args.examples, referees)
    if "speed" in parts or args.profile:
        corpus, counts = build_corpus(packages, root)
        corpus = os.path.relpath(corpus, root)
        if "speed" in parts:
            speed(trees, corpus, counts, update_args, args.repeats)
        if args.profile:
            profile(corpus, update_args, args.profile)
    if "gettext" in parts:
        specs = [spec for spec in args.gettext_packages.split(",") if spec]
        fetch([spec.partition(":")[0] for spec in specs], root)
        gettext_import("trees", specs, args.lang, update_args, args.verbose, referees)
    return 0


if __name__ == "__main__":
    sys.exit(main())
