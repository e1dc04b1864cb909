"""Translation speed: the module's lookup against its baselines, measured in one run.

    python benchmarks/bench_lookup.py [--sizes 100,10000,100000] [-o results.json] [pyperf options]
    python benchmarks/bench_lookup.py --fast [--sizes 100,10000,100000] [--rounds 25]

For each catalogue size it times, per call, on hits (translated messages), untranslated
messages and misses (messages not in the catalogue):
  - `_()`, the module-level gettext with `i18n` bound to a loaded catalogue;
  - `catalogue.gettext()` called directly;
  - the floor `d.get(m, m)` on a dict, `gettext.GNUTranslations.gettext` on an equivalent
    .mo catalogue, and a plain-Python implementation of the same lookup;
  - `_()` with the default catalogue (language 0);
and the loader on 10 000 and 100 000 rows against iterating `csv.reader` over the same file.
The master process prints the ratios at the end, and what the probe index of the largest
catalogue costs: its memory beside the table's (C heap in use, measured in an interpreter that
allocates everything with malloc), the time of a catalogue's reload, which builds it, beside
that of loading the table alone, and the time of the first lookup after a reload.

By default pyperf runs each measurement in 20 worker processes of 3 values each (each worker
builds its catalogues anew, with its own string hash seed); pyperf's options apply, such as
`-p 10 -n 2` for fewer. `--fast` takes about a minute: it builds each size's catalogues once,
in this process, and times the measurements in turns, each round every one of them once; a
measurement's figure is its mean over the rounds. It is noisier (one process, one hash seed)
and writes no results file.
"""

import csv
import ctypes
import gc
import gettext
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogues  # noqa: E402
import plain_python  # noqa: E402

import qel_i18n  # noqa: E402

CACHE = os.path.join(tempfile.gettempdir(), "qel_i18n-benchmarks")
SAMPLE = 1000


class Lazy:
    """Set-up made on first use, so that a pyperf worker builds only what its one benchmark
    needs; the objects it made are then frozen out of the garbage collector's way, so that a
    measurement pays for its own allocations, not for walking the harness's heap."""

    def __init__(self, make):
        self.make = make
        self.value = None

    def get(self):
        if self.value is None:
            self.value = self.make()
            gc.collect()
            gc.freeze()
        return self.value


def time_calls(loops, lazy, pick):
    function, messages = pick(lazy.get())
    start = time.perf_counter()
    for _ in range(loops):
        for message in messages:
            function(message)
    return time.perf_counter() - start


def time_dict_get(loops, lazy, pick):
    get, messages = pick(lazy.get())
    start = time.perf_counter()
    for _ in range(loops):
        for message in messages:
            get(message, message)
    return time.perf_counter() - start


def time_load(loops, lazy, load):
    name = lazy.get()
    start = time.perf_counter()
    for _ in range(loops):
        load(name, 1)
    return time.perf_counter() - start


def csv_floor(name, language_index):
    with open(name, "r", newline="", encoding="utf8") as file:
        for _ in csv.reader(file):
            pass


def add_arguments(cmd, args):
    cmd.extend(("--sizes", args.sizes))


def lookup_state(size):
    csv_name, mo_name, present, absent = catalogues.prepare(CACHE, size)
    with open(mo_name, "rb") as file:
        mo = gettext.GNUTranslations(file)
    catalogue = qel_i18n.I18N(csv_name, 1)
    plain = plain_python.I18N(csv_name, 1)
    return {
        "kinds": {
            "hit": present[0::2][:SAMPLE],
            "untranslated": present[1::2][:SAMPLE],
            "miss": absent[:SAMPLE],
        },
        "catalogue": catalogue,
        "default": qel_i18n.I18N(),
        "mo": mo,
        "plain": plain,
        "table": {m: catalogues.translate(m) if i % 2 == 0 else m for i, m in enumerate(present)},
    }


def module_gettext(state, catalogue):
    qel_i18n.i18n = state[catalogue]
    return qel_i18n.gettext


def lookup_benchmarks(runner, size, results):
    lazy = Lazy(lambda: lookup_state(size))
    contenders = [
        ("_()", time_calls, lambda s: module_gettext(s, "catalogue")),
        ("catalogue.gettext()", time_calls, lambda s: s["catalogue"].gettext),
        ("dict.get(m, m)", time_dict_get, lambda s: s["table"].get),
        ("GNUTranslations.gettext()", time_calls, lambda s: s["mo"].gettext),
        ("plain-Python lookup", time_calls, lambda s: s["plain"].gettext),
    ]
    # How many messages each kind samples, known without building anything.
    counts = {"hit": (size + 1) // 2, "untranslated": size // 2, "miss": size}
    for kind in ("hit", "untranslated", "miss"):
        count = min(SAMPLE, counts[kind])
        for what, timer, function in contenders:
            pick = lambda state, f=function, k=kind: (f(state), state["kinds"][k])
            results[(size, kind, what)] = runner.bench_time_func(
                f"{size} {kind}: {what}", timer, lazy, pick, inner_loops=count)
    pick = lambda state: (module_gettext(state, "default"), state["kinds"]["hit"])
    results[(size, "language 0", "_()")] = runner.bench_time_func(
        f"{size} language 0: _()", time_calls, lazy, pick,
        inner_loops=min(SAMPLE, counts["hit"]))


def load_benchmarks(runner, size, results):
    lazy = Lazy(lambda: catalogues.prepare(CACHE, size)[0])
    for what, load in [
        ("load_data_from_file", qel_i18n.I18N.load_data_from_file),
        ("csv.reader floor", csv_floor),
        ("plain-Python loader", plain_python.I18N.load_data_from_file),
    ]:
        results[(size, "load", what)] = runner.bench_time_func(
            f"{size} load: {what}", time_load, lazy, load)


def report(results, sizes):
    def mean(size, kind, what):
        return results[(size, kind, what)].mean()

    print()
    print("Ratios (mean time of the first over the second, same run):")
    for size in sizes:
        print(f"  {size} entries")
        for kind in ("hit", "untranslated", "miss"):
            ours = mean(size, kind, "_()")
            print(f"    {kind:12}  _() / GNUTranslations.gettext  "
                  f"{ours / mean(size, kind, 'GNUTranslations.gettext()'):5.2f}   "
                  f"plain-Python / _()  {mean(size, kind, 'plain-Python lookup') / ours:5.1f}   "
                  f"catalogue.gettext() / GNU  "
                  f"{mean(size, kind, 'catalogue.gettext()') / mean(size, kind, 'GNUTranslations.gettext()'):5.2f}")
        print(f"    language 0    _() / dict.get(m, m)  "
              f"{mean(size, 'language 0', '_()') / mean(size, 'hit', 'dict.get(m, m)'):5.2f}")
        if (size, "load", "load_data_from_file") in results:
            floor = mean(size, "load", "csv.reader floor")
            print(f"    load          load_data_from_file / csv.reader  "
                  f"{mean(size, 'load', 'load_data_from_file') / floor:5.2f}   "
                  f"plain-Python loader / csv.reader  "
                  f"{mean(size, 'load', 'plain-Python loader') / floor:5.2f}")


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use():
    """Bytes of the C heap in use, blocks served by mmap included."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def index_costs(size):
    """Prints, as JSON, the memory of the table alone and of the probe index beside it, and the
    times of loading the table, of a catalogue's reload of it (which builds its index) and of
    the first lookup after the reload."""
    csv_name, _, present, _ = catalogues.prepare(CACHE, size)
    load = qel_i18n.I18N.load_data_from_file
    before = heap_in_use()
    table = load(csv_name, 1)
    table_bytes = heap_in_use() - before
    del table
    before = heap_in_use()
    catalogue = qel_i18n.I18N(csv_name, 1)
    catalogue.gettext(present[0])
    index_bytes = heap_in_use() - before - table_bytes
    loads, reloads, firsts = [], [], []
    for i in range(9):
        start = time.perf_counter()
        load(csv_name, 1)
        loaded = time.perf_counter()
        catalogue.filename = csv_name
        reloaded = time.perf_counter()
        catalogue.gettext(present[i])
        loads.append(loaded - start)
        reloads.append(reloaded - loaded)
        firsts.append(time.perf_counter() - reloaded)
    print(json.dumps({"table": table_bytes, "index": index_bytes,
                      "load": statistics.median(loads), "reload": statistics.median(reloads),
                      "first": statistics.median(firsts)}))


def report_index_costs(size):
    def measure(env):
        done = subprocess.run([sys.executable, __file__, "--index-costs", str(size)],
                              env=dict(os.environ, **env), check=True, capture_output=True,
                              text=True)
        return json.loads(done.stdout)

    memory = measure({"PYTHONMALLOC": "malloc"})  # every allocation on the C heap, counted
    times = measure({})
    print(f"  probe index at {size} entries: {memory['index'] / 1e6:.1f} MB beside a table of "
          f"{memory['table'] / 1e6:.1f} MB ({memory['index'] / memory['table']:.1%}); "
          f"reload / load_data_from_file {times['reload'] / times['load']:.2f} "
          f"({times['load'] * 1e3:.0f} ms); first lookup after a reload "
          f"{times['first'] * 1e3:.2f} ms")


class Values:
    """The times per call of one measurement in --fast mode, read as pyperf's results are."""

    def __init__(self):
        self.values = []

    def mean(self):
        return statistics.mean(self.values)


def calibrate(timer, state, pick, least=0.01):
    """Loops of `timer` that take at least `least` seconds, doubled from 1."""
    loops = 1
    while timer(loops, state, pick) < least:
        loops *= 2
    return loops


def fast_main(argv):
    import argparse

    parser = argparse.ArgumentParser(description="bench_lookup.py --fast: a quick, noisier run")
    parser.add_argument("--fast", action="store_true", required=True)
    parser.add_argument("--sizes", default="100,10000,100000")
    parser.add_argument("--rounds", type=int, default=25)
    args = parser.parse_args(argv)
    sizes = [int(size) for size in args.sizes.split(",")]
    results = {}
    for size in sizes:
        # The same measurements as the pyperf run, on one state made once.
        lazy = Lazy(lambda size=size: lookup_state(size))
        counts = {"hit": (size + 1) // 2, "untranslated": size // 2, "miss": size}
        planned = []
        for kind in ("hit", "untranslated", "miss"):
            for what, timer, function in [
                ("_()", time_calls, lambda s: module_gettext(s, "catalogue")),
                ("catalogue.gettext()", time_calls, lambda s: s["catalogue"].gettext),
                ("dict.get(m, m)", time_dict_get, lambda s: s["table"].get),
                ("GNUTranslations.gettext()", time_calls, lambda s: s["mo"].gettext),
                ("plain-Python lookup", time_calls, lambda s: s["plain"].gettext),
            ]:
                pick = lambda state, f=function, k=kind: (f(state), state["kinds"][k])
                planned.append(((size, kind, what), timer, lazy, pick, min(SAMPLE, counts[kind])))
        pick = lambda state: (module_gettext(state, "default"), state["kinds"]["hit"])
        planned.append(((size, "language 0", "_()"), time_calls, lazy, pick,
                        min(SAMPLE, counts["hit"])))
        if size >= 10000:
            files = Lazy(lambda size=size: catalogues.prepare(CACHE, size)[0])
            for what, load in [
                ("load_data_from_file", qel_i18n.I18N.load_data_from_file),
                ("csv.reader floor", csv_floor),
                ("plain-Python loader", plain_python.I18N.load_data_from_file),
            ]:
                planned.append(((size, "load", what), time_load, files, load, 1))
        loops = {key: calibrate(timer, state, pick) for key, timer, state, pick, _ in planned}
        for key, *_ in planned:
            results[key] = Values()
        for _ in range(args.rounds):
            for key, timer, state, pick, inner in planned:
                elapsed = timer(loops[key], state, pick)
                results[key].values.append(elapsed / (loops[key] * inner))
    report(results, sizes)
    report_index_costs(max(sizes))


def main():
    if sys.argv[1:2] == ["--index-costs"]:
        return index_costs(int(sys.argv[2]))
    if "--fast" in sys.argv[1:] and "--worker" not in sys.argv[1:]:
        return fast_main(sys.argv[1:])
    runner = pyperf.Runner(add_cmdline_args=add_arguments)
    runner.argparser.add_argument("--sizes", default="100,10000,100000")
    args = runner.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    results = {}
    for size in sizes:
        lookup_benchmarks(runner, size, results)
        if size >= 10000:
            load_benchmarks(runner, size, results)
    if all(result is not None for result in results.values()) and not args.worker:
        report(results, sizes)
        report_index_costs(max(sizes))


if __name__ == "__main__":
    main()
