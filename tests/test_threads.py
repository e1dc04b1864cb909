"""Lookups overlapping reloads: every answer comes from one whole table."""

import threading
import time

from qel_i18n import I18N

MESSAGES = [f"message {i:04}" for i in range(400)]


def write_catalogue(write_csv, tag):
    rows = [["Position", 0, 1]] + [[f"a: {i:04}", m, f"{tag} {m}"] for i, m in enumerate(MESSAGES)]
    return write_csv(rows, name=f"{tag}.csv")


def test_lookups_overlapping_reloads_answer_from_one_table(write_csv):
    old = write_catalogue(write_csv, "old")
    new = write_catalogue(write_csv, "new")
    catalogue = I18N(old, 1)
    stop = threading.Event()
    seen = []
    failures = []

    def look_up():
        while not stop.is_set():
            answers = {catalogue.gettext(m).split(" ", 1)[0] for m in MESSAGES[::7]}
            # Within one call each answer is whole; across one sweep a reload may land.
            if not answers <= {"old", "new"}:
                failures.append(answers)
            seen.append(answers)

    def reload():
        for i in range(20):
            catalogue.filename = new if i % 2 == 0 else old

    readers = [threading.Thread(target=look_up) for _ in range(3)]
    for reader in readers:
        reader.start()
    reloader = threading.Thread(target=reload)
    reloader.start()
    # No bound on the reloads: under valgrind the readers share one core with them.
    reloader.join()
    stop.set()
    for reader in readers:
        reader.join(60)
    assert not failures
    assert seen
    assert catalogue.gettext(MESSAGES[0]) == f"old {MESSAGES[0]}"


def test_a_lookup_during_a_reload_waits_and_answers_from_the_new_table(write_csv):
    old = write_catalogue(write_csv, "old")
    new = write_catalogue(write_csv, "new")
    catalogue = I18N(old, 1)
    entered = threading.Event()
    release = threading.Event()

    class SlowLoader:
        @staticmethod
        def load_data_from_file(filename, language_index):
            entered.set()
            release.wait(10)
            return I18N.load_data_from_file(filename, language_index)

    import qel_i18n

    qel_i18n.I18N = SlowLoader
    try:
        setter = threading.Thread(target=lambda: setattr(catalogue, "filename", new))
        setter.start()
        assert entered.wait(10)
        answers = []
        reader = threading.Thread(target=lambda: answers.append(catalogue.gettext(MESSAGES[5])))
        reader.start()
        time.sleep(0.1)
        assert answers == []  # waiting for the lock the setter holds
        release.set()
        setter.join(10)
        reader.join(10)
    finally:
        qel_i18n.I18N = I18N
    assert answers == [f"new {MESSAGES[5]}"]
