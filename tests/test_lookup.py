"""The lookup: its binary search exactly, which of several equal messages decides, and the same
answers whatever shape the table has or however it changes."""

import threading

import pytest
from hypothesis import given, settings, strategies as st

import qel_i18n
from qel_i18n import I18N


def reference_gettext(self, message):
    """The lookup's algorithm in plain Python."""
    if self._I18N__language_index == 0:
        return message
    with self._I18N__lock:
        data = self._I18N__data
    if len(data) == 0:
        return message
    low, high = 0, len(data) - 1
    while True:
        middle = (low + high) // 2
        value = data[middle][1]
        if value == message:
            msg = data[middle][2]
            return msg if msg else message
        if low == high:
            return message
        if value < message:
            low = high if low == middle else middle
        else:
            high = middle


def catalogue_with(table, language_index=1):
    catalogue = I18N()
    catalogue._I18N__language_index = language_index
    catalogue._I18N__data = table
    return catalogue


def test_source_language_returns_the_message_itself():
    message = "".join(["unique", "message"])
    catalogue = catalogue_with([(2, message, "translated")], 0)
    assert catalogue.gettext(message) is message
    assert I18N().gettext(message) is message


@pytest.mark.parametrize(
    "table, message, expected",
    [
        ([], "a", "a"),
        ([(2, "a", "A")], "a", "A"),
        ([(2, "a", None)], "a", "a"),
        ([(2, "a", "")], "a", "a"),
        ([(2, "a", "  ")], "a", "  "),
        ([(2, "a", "A")], "b", "b"),
        ([(2, "Hello", "Hallo")], "hello", "hello"),
        ([(2, "Hello", "Hallo")], " Hello", " Hello"),
        ([(2, "\u00e9", "e-acute")], "e\u0301", "e\u0301"),
        ([(2, "b", "B"), (3, "d", "D")], "a", "a"),
        ([(2, "b", "B"), (3, "d", "D")], "c", "c"),
        ([(2, "b", "B"), (3, "d", "D")], "e", "e"),
        ([(2, "b", "B"), (3, "d", "D")], "d", "D"),
        # Of equal messages the first probe decides: the first of two, the middle of three.
        ([(2, "m", "first"), (3, "m", "second")], "m", "first"),
        ([(2, "m", "first"), (3, "m", "second"), (4, "m", "third")], "m", "second"),
        ([(2, "m", ""), (3, "m", "second")], "m", "m"),
        ([(2, "a", "A"), (3, "m", None), (4, "m", "M2"), (5, "z", "Z")], "m", "m"),
    ],
)
def test_search(table, message, expected):
    assert catalogue_with(table).gettext(message) == expected


def test_the_translation_object_is_returned():
    translation = "".join(["Hal", "lo"])
    catalogue = catalogue_with([(2, "Hello", translation)])
    assert catalogue.gettext("Hello") is translation


def test_raw_rows_are_searched_too(write_csv):
    name = write_csv([["Position", 0, 1], ["a: 0001", "A", "a"], ["a: 0002", "B"]])
    catalogue = I18N(name, -1)
    assert catalogue.gettext("A") == "a"
    with pytest.raises(IndexError):
        catalogue.gettext("B")


def test_an_object_without_the_attributes_fails_on_the_read():
    with pytest.raises(AttributeError):
        I18N.gettext(object(), "m")


class Messages(list):
    """A table the host indexes through an overridden __getitem__."""

    def __getitem__(self, index):
        self.reads.append(index)
        return super().__getitem__(index)


def test_tables_of_other_types_are_read_as_the_host_reads_them():
    table = Messages([(2, "a", "A"), (3, "b", "B"), (4, "c", "C")])
    table.reads = []
    assert catalogue_with(table).gettext("c") == "C"
    # Each probe reads its element for the message, and a hit reads it again for the
    # translation; index 1 is probed twice (the bounds move to the middle itself).
    assert table.reads == [1, 1, 2, 2]
    assert catalogue_with(((2, "a", "A"),)).gettext("a") == "A"
    assert catalogue_with({0: (2, "a", "A")}).gettext("a") == "A"  # data[0] is a key here
    with pytest.raises(KeyError):
        catalogue_with({1: (2, "a", "A")}).gettext("a")


def test_in_place_changes_to_the_table_are_seen():
    table = [(i, f"m{i:03}", f"t{i}") for i in range(200)]
    catalogue = catalogue_with(table)
    assert catalogue.gettext("m150") == "t150"
    table[150] = (0, "m150", "changed")
    assert catalogue.gettext("m150") == "changed"
    table[99] = (0, "zzz", "moved")  # the first probe now sends every search to the left
    assert catalogue.gettext("m150") == "m150" == reference_gettext(catalogue, "m150")
    assert catalogue.gettext("zzz") == "moved"
    del table[:]
    assert catalogue.gettext("m150") == "m150"


def test_changes_to_the_class_are_seen():
    catalogue = catalogue_with([(2, "a", "A")])
    assert catalogue.gettext("a") == "A"
    I18N._I18N__data = property(lambda self: [(2, "a", "from the class")])
    try:
        assert catalogue.gettext("a") == "from the class"
        assert qel_i18n.gettext("a") == "a"  # the default catalogue is language 0
        qel_i18n.i18n = catalogue
        assert qel_i18n.gettext("a") == "from the class"
    finally:
        del I18N._I18N__data
    assert catalogue.gettext("a") == "A"


def test_a_lock_of_another_type_is_entered_and_left():
    events = []

    class Lock:
        def __enter__(self):
            events.append("enter")

        def __exit__(self, *exc_info):
            events.append("exit")

    catalogue = catalogue_with([(2, "a", "A")])
    catalogue._I18N__lock = Lock()
    assert catalogue.gettext("a") == "A"
    assert events == ["enter", "exit"]
    catalogue._I18N__language_index = 0
    assert catalogue.gettext("a") == "a"
    assert events == ["enter", "exit"]


def test_a_held_lock_makes_the_lookup_wait_for_the_new_table():
    catalogue = catalogue_with([(2, "a", "old")])
    lock = catalogue._I18N__lock
    results = []
    lock.acquire()
    reader = threading.Thread(target=lambda: results.append(catalogue.gettext("a")))
    reader.start()
    reader.join(0.2)
    assert reader.is_alive() and results == []
    catalogue._I18N__data = [(2, "a", "new")]
    lock.release()
    reader.join(5)
    assert results == ["new"]


messages = st.text(alphabet="abcé\u0100\U0001f600", max_size=4)
translations = st.one_of(st.none(), st.just(""), st.text(alphabet="xyz", min_size=1, max_size=2))
entries = st.lists(st.tuples(st.integers(2, 50), messages, translations), max_size=40)


@settings(max_examples=400, deadline=None)
@given(table=entries, probe=messages, sort=st.booleans(), language=st.sampled_from([1, -1, 2]))
def test_matches_the_algorithm_in_plain_python(table, probe, sort, language):
    if sort:
        table.sort(key=lambda item: item[1])
    catalogue = catalogue_with(table, language)
    for message in [probe] + [entry[1] for entry in table]:
        assert catalogue.gettext(message) == reference_gettext(catalogue, message)
    # The same after the table changed in place at a random spot.
    if table:
        table[len(table) // 3] = (0, probe, "changed")
        for message in [probe] + [entry[1] for entry in table]:
            assert catalogue.gettext(message) == reference_gettext(catalogue, message)
