"""What each fast path gains: the module built with every fast path, and once without each of
them (named in the CMake list QEL_I18N_FAST_PATHS_OFF), timed side by side on the workloads it
targets.

    python benchmarks/compare_builds.py [--rounds 7] [--sizes 100,10000,100000]
                                        [--callgrind] [--only VIEW,LOCK,...]
    python benchmarks/compare_builds.py --instructions DIRECTORY [--sizes 10000,100000]

Each build is made with CMake under build/fast-paths/. Each round runs every build once, in
a new interpreter, on the same workloads; a workload's time is the best of its round, and its
figure the median over rounds. The report gives, per fast path, time without it over time with
it on each workload it targets (1.25: the build without it takes 25 % longer). With
--callgrind each workload a fast path targets is also counted in instructions under valgrind,
which the machine's load does not disturb. --instructions builds nothing and times nothing: it
gives the instructions per `_()` call of the extension already built in DIRECTORY (a build
directory, such as build/lookup), on each kind of lookup at each size, so that a change of the
code can be counted before and after.

Workloads: `_()` on hits, untranslated messages and misses at each size (the lookup
benchmark's catalogues); the loader, and a catalogue's reload, on 10 000 and 100 000 rows;
`parse_directory` on the extraction benchmark's corpus, when its cache exists (run
bench_extract.py once to make it).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILDS = os.path.join(ROOT, "build", "fast-paths")
CACHE = os.path.join(tempfile.gettempdir(), "qel_i18n-benchmarks")
SAMPLE = 1000

# Each switch, and the workloads it is meant to speed up (prefixes of workload names).
SWITCHES = {
    "VIEW": ["lookup"],
    "GLOBALS": ["lookup", "extract"],
    "LOCK": ["lookup"],
    "LEADING": ["lookup", "reload"],  # a reload builds the index: what it costs shows there
    "RUNS": ["lookup", "reload"],
    "SCANNER": ["extract"],
    "WRITER": ["extract"],
    "WHOLE": ["extract"],
    "SORT": ["extract"],
}


def build(name, switches_off):
    """Configures and builds one variant without the fast paths named (all of them built when
    none is); returns the directory holding the extension."""
    directory = os.path.join(BUILDS, name)
    command = ["cmake", "-S", ROOT, "-B", directory, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
               "-DQEL_I18N_WERROR=ON", f"-DPython_EXECUTABLE={sys.executable}",
               f"-DQEL_I18N_FAST_PATHS_OFF={';'.join(switches_off)}"]
    subprocess.run(command, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", directory], check=True, capture_output=True)
    return directory


def corpus_directory():
    sys.path.insert(0, HERE)
    import bench_extract

    root = bench_extract.cache_directory()
    found = [os.path.join(root, name) for name in sorted(os.listdir(root))
             if name.startswith("corpus-")] if os.path.isdir(root) else []
    return found[0] if found and os.path.exists(os.path.join(found[0], ".complete")) else None


# ---- the worker: one build, one round --------------------------------------------------------

def best_of(repeats, action):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def lookup_workloads(sizes, loops):
    import catalogues
    import qel_i18n

    for size in sizes:
        csv_name, _, present, absent = catalogues.prepare(CACHE, size)
        catalogue = qel_i18n.I18N(csv_name, 1)
        qel_i18n.i18n = catalogue
        _ = qel_i18n.gettext
        kinds = {
            "hit": present[0::2][:SAMPLE],
            "untranslated": present[1::2][:SAMPLE],
            "miss": absent[:SAMPLE],
        }
        for kind, messages in kinds.items():
            def calls(messages=messages):
                for _round in range(loops):
                    for message in messages:
                        _(message)
            yield f"lookup {size} {kind}", calls, loops * len(messages)


def load_workloads(sizes):
    """The loader alone, and a catalogue's reload of the same file."""
    import catalogues
    import qel_i18n

    for size in sizes:
        if size >= 10000:
            csv_name = catalogues.prepare(CACHE, size)[0]
            load = qel_i18n.I18N.load_data_from_file
            yield f"load {size}", lambda name=csv_name: load(name, 1), 1
            catalogue = qel_i18n.I18N(csv_name, 1)
            reload = lambda c=catalogue, name=csv_name: setattr(c, "filename", name)  # noqa: E731
            yield f"reload {size}", reload, 1


def extract_workloads(corpus):
    import qel_i18n

    if corpus is None:
        return
    output = tempfile.mkdtemp(prefix="qel_i18n-compare-")
    catalogue = os.path.join(output, "messages.csv")

    def run():
        if os.path.exists(catalogue):
            os.remove(catalogue)
        qel_i18n.parse_directory(catalogue, ".", ".py")

    os.chdir(corpus)
    yield "extract", run, 1


def worker(args):
    sys.path.insert(0, args.worker)
    sys.path.insert(1, HERE)
    import qel_i18n

    assert os.path.dirname(qel_i18n.__file__) == args.worker, qel_i18n.__file__
    sizes = [int(size) for size in args.sizes.split(",")]
    results = {}
    if args.count is not None:
        # Instruction counting: one workload only, run `count` times (0: its set-up alone).
        kind = args.workload.split()[0]
        if kind != "extract":
            sizes = [int(args.workload.split()[1])]  # only the catalogue counted is loaded
        workloads = {"lookup": lambda: lookup_workloads(sizes, 1),
                     "load": lambda: load_workloads(sizes),
                     "reload": lambda: load_workloads(sizes),
                     "extract": lambda: extract_workloads(args.corpus)}[kind]()
        for name, action, calls in workloads:
            if name == args.workload:
                for _ in range(args.count):
                    action()
                print(json.dumps({"calls": calls * args.count}))
                return
    for name, action, calls in lookup_workloads(sizes, 20):
        results[name] = best_of(5, action) / calls
    for name, action, calls in load_workloads(sizes):
        results[name] = best_of(5, action) / calls
    for name, action, calls in extract_workloads(args.corpus):
        results[name] = best_of(5, action) / calls
    print(json.dumps(results))


# ---- the driver --------------------------------------------------------------------------------

def run_round(directory, args, corpus):
    command = [sys.executable, __file__, "--worker", directory, "--sizes", args.sizes]
    if corpus:
        command += ["--corpus", corpus]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def count_instructions(directory, args, workload, loops):
    # Where the process's stack begins moves with the length of its arguments and environment,
    # and the counts a little with it (the alignment of what is compared). So every build is run
    # from a copy of its extension in a directory whose name has the same length, in the same
    # environment: only the code then makes a difference.
    with tempfile.TemporaryDirectory(prefix="qel_i18n-count-") as copy:
        for name in os.listdir(directory):
            if name.startswith("qel_i18n.") and name.endswith(".so"):
                shutil.copy(os.path.join(directory, name), copy)
        out = os.path.join(copy, "callgrind.out")
        command = [shutil.which("valgrind"), "--tool=callgrind", f"--callgrind-out-file={out}",
                   sys.executable, __file__, "--worker", copy, "--sizes", args.sizes,
                   "--workload", workload, "--count", str(loops)]
        if args.corpus:
            command += ["--corpus", args.corpus]
        # The same hash seed every time, so that dict layouts, and with them the counts, repeat;
        # no compiled module written, which only the first run would pay for.
        done = subprocess.run(command, check=True, capture_output=True, text=True,
                              env={"PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"})
        calls = json.loads(done.stdout)["calls"]
        with open(out) as file:
            for line in file:
                if line.startswith("summary:") or line.startswith("totals:"):
                    total = int(line.split()[1])
    return total, calls


def instructions_per_call(directory, args, workload):
    """Instructions per call of a workload: the run of many calls less that of its set-up alone."""
    loops = {"lookup": 50, "load": 2, "reload": 2, "extract": 1}[workload.split()[0]]
    # The set-up alone first: the first run writes the benchmark's catalogues, which the runs
    # after it find cached, and that must not be counted as calls.
    none, _ = count_instructions(directory, args, workload, 0)
    many, calls = count_instructions(directory, args, workload, loops)
    return (many - none) / calls


def report_instructions(args):
    directory = os.path.abspath(args.instructions)
    print(f"Instructions per `_()` call under callgrind ({directory}):")
    for size in args.sizes.split(","):
        for kind in ("hit", "untranslated", "miss"):
            workload = f"lookup {size} {kind}"
            print(f"  {workload:26} {instructions_per_call(directory, args, workload):9.1f}",
                  flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sizes", default="100,10000,100000")
    parser.add_argument("--only", default=",".join(SWITCHES))
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--instructions", metavar="DIRECTORY")
    parser.add_argument("--worker")
    parser.add_argument("--corpus")
    parser.add_argument("--workload")
    parser.add_argument("--count", type=int)
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    if args.instructions:
        return report_instructions(args)

    switches = args.only.split(",")
    variants = {"all": build("all", [])}
    for switch in switches:
        print(f"building without {switch}", flush=True)
        variants[switch] = build(f"no-{switch.lower()}", [switch])
    corpus = args.corpus = corpus_directory()
    if corpus is None:
        print("no extraction corpus (run benchmarks/bench_extract.py once): extraction left out")

    times = {name: {} for name in variants}
    for round_number in range(args.rounds):
        print(f"round {round_number + 1} of {args.rounds}", flush=True)
        for name, directory in variants.items():
            for workload, seconds in run_round(directory, args, corpus).items():
                times[name].setdefault(workload, []).append(seconds)
    medians = {name: {w: statistics.median(v) for w, v in runs.items()}
               for name, runs in times.items()}

    print("\nTime without the fast path over time with it (median of the rounds' best):")
    for switch in switches:
        targets = [w for w in medians["all"] if any(w.startswith(t) for t in SWITCHES[switch])]
        print(f"  {switch}")
        for workload in targets:
            print(f"    {workload:28} {medians[switch][workload] / medians['all'][workload]:6.3f}",
                  flush=True)

    if args.callgrind:
        print("\nInstructions per call under callgrind, and the ratio without / with:")
        for workload in medians["all"]:
            targeted = [s for s in switches if any(workload.startswith(t) for t in SWITCHES[s])]
            if not targeted:
                continue
            counts = {name: instructions_per_call(variants[name], args, workload)
                      for name in ["all"] + targeted}
            line = "  ".join(f"{name} {counts[name] / counts['all']:5.3f}" for name in targeted)
            print(f"  {workload:26} all {counts['all']:9.0f}   {line}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
