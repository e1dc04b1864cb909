"""Lookups on several threads while one thread switches a shared catalogue between two files and
two languages and two others rewrite the files with parse. Every answer and every table that the
catalogue holds comes whole from one file and one language, and no call fails: parse replaces a
catalogue file only once its new content is complete, so a reload never reads a partial file.

The run stops after a few seconds of wall clock, or earlier when every thread has reached its
cap, and each thread must have done a minimum of iterations for the run to count; the counts are
printed (pytest -s shows them).

Then lookups in whose middle other code runs, on the same thread or on another that it lets
run, and replaces the lock and the table."""

import csv
import itertools
import sys
import threading
import time
import traceback

import pytest

import qel_i18n
from qel_i18n import I18N

MESSAGES = [f"message {i:03}" for i in range(60)]
EXTRAS = [f"extra {i:02}" for i in range(8)]  # found only in the second source: untranslated
UNKNOWN = "not in any catalogue"
TAGS = ("A", "B")
LANGUAGES = (1, 2)

RUN_FOR = 3.0  # seconds; the threads then stop as soon as each has done its minimum
GIVE_UP = 120.0  # seconds; a run that has not reached the minimums by then fails
CAP = {"reader": 100_000, "switcher": 10_000, "rewriter": 1_000}
MINIMUM = {"reader": 200, "switcher": 20, "rewriter": 10}


def translation(tag, message, language):
    return f"{tag}:{message}:{language}"


def whole_tables():
    """Every table the catalogue may hold, as its set of (message, translation) pairs: one file
    and one language, with or without the untranslated extra rows."""
    tables = {}
    for tag, language, extras in itertools.product(TAGS, LANGUAGES, (False, True)):
        pairs = {(m, translation(tag, m, language)) for m in MESSAGES}
        pairs |= {(x, None) for x in EXTRAS} if extras else set()
        tables[frozenset(pairs)] = (tag, language)
    return tables


WHOLE_TABLES = whole_tables()


def table_source(table):
    """(tag, language) of a table that is whole and sorted, else None."""
    pairs = frozenset((entry[1], entry[2]) for entry in table)
    messages = [entry[1] for entry in table]
    if len(pairs) != len(table) or messages != sorted(messages):
        return None
    return WHOLE_TABLES.get(pairs)


def answer_is_whole(message, answer):
    """An answer that some table gives for the message, from a translation language."""
    if message in MESSAGES:
        return answer in {translation(t, message, k) for t in TAGS for k in LANGUAGES}
    return answer is message  # untranslated: the very object passed in


@pytest.fixture
def catalogues(tmp_path):
    """Two catalogue files made by parse from the same sources, with the translations of
    file A and file B filled into every row found in the first source."""
    core = str(tmp_path / "core.py")
    extra = str(tmp_path / "extra.py")
    with open(core, "w", encoding="utf8") as file:
        file.writelines(f'print(_("{m}"))\n' for m in MESSAGES)
    with open(extra, "w", encoding="utf8") as file:
        file.writelines(f'print(_("{x}"))\n' for x in EXTRAS)
    names = {}
    for tag in TAGS:
        name = str(tmp_path / f"{tag.lower()}.csv")
        qel_i18n.parse(name, core)
        with open(name, newline="", encoding="utf8") as file:
            header, *rows = csv.reader(file)
        with open(name, "w", newline="", encoding="utf8") as file:
            writer = csv.writer(file)
            writer.writerow(header + ["2"])
            for position, message in rows:
                writer.writerow(
                    [position, message, *(translation(tag, message, k) for k in LANGUAGES)]
                )
        names[tag] = name
    return names, core, extra


@pytest.fixture
def short_switch_interval():
    """Switches threads often, so that the threads interleave at many more places."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_lookups_reloads_and_rewrites_on_threads(catalogues, short_switch_interval):
    names, core, extra = catalogues
    shared = I18N(names["A"], 1)
    qel_i18n.i18n = shared
    stop = threading.Event()
    counts = {}
    errors = []  # (thread, traceback)
    wrong = []  # (thread, what, value)

    def report(thread, what, value):
        wrong.append((thread, what, value))
        stop.set()

    def check_table(thread):
        table = shared._I18N__data
        source = table_source(table)
        if source is None:
            report(thread, "a table that no file and language gives", table)
        return source

    def reader(thread, lookup):
        probes = MESSAGES[::7] + EXTRAS[:2] + [UNKNOWN]
        for message in probes:
            answer = lookup(message)
            if not answer_is_whole(message, answer):
                report(thread, f"answer for {message!r}", answer)
        check_table(thread)

    def switcher(thread, i):
        tag, language = TAGS[i % 2], LANGUAGES[(i // 2) % 2]
        shared.filename = names[tag]
        # Only this thread changes the properties: once a setter has returned, the table is
        # the one for the file and language it has just stored.
        source = check_table(thread)
        if source not in (None, (tag, shared.language_index)):
            report(thread, f"after filename = {tag}", source)
        shared.language_index = language
        source = check_table(thread)
        if source not in (None, (tag, language)):
            report(thread, f"after language_index = {language}", source)

    def rewriter(thread, i, tag):
        # With the second source the extra messages get rows of their own; without it they
        # move to the excess file. The translated rows stay in the catalogue either way.
        sources = (core, extra) if i % 2 == 0 else (core,)
        qel_i18n.parse(names[tag], *sources)
        table = I18N.load_data_from_file(names[tag], 2)
        expected = len(MESSAGES) + (len(EXTRAS) if extra in sources else 0)
        if table_source(table) != (tag, 2) or len(table) != expected:
            report(thread, f"{tag} after parse{sources}", table)

    def run(thread, kind, step):
        counts[thread] = 0
        try:
            while counts[thread] < CAP[kind] and not stop.is_set():
                step(thread, counts[thread])
                counts[thread] += 1
        except BaseException:
            errors.append((thread, traceback.format_exc()))
            stop.set()

    lookups = {
        "reader I18N.gettext 1": shared.gettext,
        "reader I18N.gettext 2": shared.gettext,
        "reader module gettext 1": qel_i18n.gettext,
        "reader module gettext 2": qel_i18n.gettext,
    }
    plan = [
        (name, "reader", lambda thread, i, lookup=lookup: reader(thread, lookup))
        for name, lookup in lookups.items()
    ]
    plan.append(("switcher", "switcher", switcher))
    # One rewriter per file: parse may run on several threads at once, on different files.
    plan += [
        (f"rewriter {tag}", "rewriter", lambda thread, i, tag=tag: rewriter(thread, i, tag))
        for tag in TAGS
    ]
    threads = [threading.Thread(target=run, args=entry, name=entry[0]) for entry in plan]
    kinds = {name: kind for name, kind, _ in plan}

    start = time.monotonic()
    for thread in threads:
        thread.start()
    while not stop.is_set() and any(thread.is_alive() for thread in threads):
        elapsed = time.monotonic() - start
        done = all(counts.get(name, 0) >= MINIMUM[kind] for name, kind in kinds.items())
        if (elapsed >= RUN_FOR and done) or elapsed >= GIVE_UP:
            break
        time.sleep(0.02)
    stop.set()
    for thread in threads:
        thread.join(GIVE_UP)
    elapsed = time.monotonic() - start

    print(f"\niterations in {elapsed:.1f} s:", ", ".join(f"{n} {c}" for n, c in counts.items()))
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert wrong == []
    assert {name: counts[name] >= MINIMUM[kind] for name, kind in kinds.items()} == {
        name: True for name in kinds
    }, counts
    # After the run the catalogue still answers from the file and language it is given.
    shared.filename = names["B"]
    shared.language_index = 2
    assert table_source(shared._I18N__data) == ("B", 2)
    assert qel_i18n.gettext(MESSAGES[3]) == translation("B", MESSAGES[3], 2)


# --- host code that runs in the middle of a lookup ----------------------------------------
#
# A lookup reads the lock and the table after comparing the language index with 0, and reads
# the instance's attributes from its dict. Code of the host's that runs meanwhile, on this
# thread or on another that it lets run, may replace both; the lookup must then use what it
# finds afterwards, never what was there before (which may be gone).


@pytest.fixture
def two_files(write_csv):
    return tuple(
        write_csv([["Position", 0, 1, 2], ["a: 0001", "Hello", f"{tag}:Hello:1", f"{tag}:Hello:2"]])
        for tag in TAGS
    )


class ComparingIndex:
    """A language index whose comparison runs `during` on the thread given, once."""

    def __init__(self, thread, during):
        self.thread, self.during = thread, during

    def __eq__(self, other):
        if threading.current_thread() is self.thread:
            self.thread = None
            self.during()
        return False

    __hash__ = None


@pytest.mark.parametrize("lookup", ["I18N.gettext", "module gettext"])
def test_a_language_index_comparison_that_replaces_the_table(two_files, lookup):
    old, new = two_files
    catalogue = I18N(old, 1)
    qel_i18n.i18n = catalogue
    replacement = I18N.load_data_from_file(new, 1)

    def replace():
        catalogue._I18N__lock = threading.Lock()
        catalogue._I18N__data = replacement

    catalogue._I18N__language_index = ComparingIndex(threading.current_thread(), replace)
    translate = catalogue.gettext if lookup == "I18N.gettext" else qel_i18n.gettext
    assert translate(fresh_text("Hello")) == "B:Hello:1"


def test_a_lookup_whose_comparison_lets_a_reload_run_on_another_thread(two_files):
    old, _ = two_files
    catalogue = I18N(old, 1)
    compared, reloaded = threading.Event(), threading.Event()
    answers = []

    def wait_for_the_reload():
        compared.set()
        reloaded.wait(10)

    reader = threading.Thread(target=lambda: answers.append(catalogue.gettext(fresh_text("Hello"))))
    catalogue._I18N__language_index = ComparingIndex(reader, wait_for_the_reload)
    reader.start()
    assert compared.wait(10)
    catalogue.language_index = 2  # stores a new table; the old one goes
    reloaded.set()
    reader.join(10)
    assert answers == ["A:Hello:2"]


def test_an_attribute_key_whose_comparison_replaces_the_lock_and_the_table(two_files):
    old, new = two_files
    catalogue = I18N(old, 1)
    replacement = I18N.load_data_from_file(new, 1)
    armed = False

    class Colliding:
        """A key that the instance dict compares with `_I18N__data` when that is looked up."""

        def __hash__(self):
            return hash("_I18N__data")

        def __eq__(self, other):
            nonlocal armed
            if armed:
                armed = False  # the stores below compare with this key too
                catalogue._I18N__lock = threading.Lock()
                catalogue._I18N__data = replacement
            return False

    attributes = vars(catalogue)
    saved = dict(attributes)
    attributes.clear()
    attributes[Colliding()] = None  # first, so that the name is found behind it
    attributes.update(saved)
    del saved  # the dict holds the only references to the old lock and table
    armed = True
    assert catalogue.gettext(fresh_text("Hello")) == "B:Hello:1"
    assert not armed


def fresh_text(text):
    """An equal str that is a new object, as messages built at run time are."""
    return (text + "\0")[:-1]
