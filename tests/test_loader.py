"""The catalogue loader: the table of every kind of language index, errors as the host raises
them, and the file closed on every way out."""

import csv
import gc
import os
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import qel_i18n

load = qel_i18n.I18N.load_data_from_file

ROWS = [
    ["Position", "0", "1", "2"],
    ["b.py: 0001", "Hello", "Bonjour", "Hallo"],
    ["a.py: 0002", "Apple"],
    ["a.py: 0003", "Cherry", ""],
    ["a.py: 0009", "Hello", "Salut"],
    ["c.py: 0001", "multi\nline, \"quoted\"", "x"],
]


def reference_load(name, language_index):
    """The loader's algorithm in plain Python."""
    result = []
    with open(name, "r", newline="", encoding="utf8") as file:
        rows = iter(csv.reader(file))
        next(rows)
        if language_index == 0:
            pass
        elif language_index == -1:
            for row in rows:
                result.append(row)
        else:
            number = 2
            for row in rows:
                column = language_index + 1
                translation = row[column] if len(row) > column else None
                result.append((number, row[1], translation))
                number += 1
            result.sort(key=lambda item: item[1])
    return result


@pytest.mark.parametrize(
    "language_index, expected",
    [
        (0, []),
        (1, [(3, "Apple", None), (4, "Cherry", ""), (2, "Hello", "Bonjour"), (5, "Hello", "Salut"),
             (6, 'multi\nline, "quoted"', "x")]),
        (2, [(3, "Apple", None), (4, "Cherry", None), (2, "Hello", "Hallo"), (5, "Hello", None),
             (6, 'multi\nline, "quoted"', None)]),
        (3, [(3, "Apple", None), (4, "Cherry", None), (2, "Hello", None), (5, "Hello", None),
             (6, 'multi\nline, "quoted"', None)]),
        (-2, [(3, "Apple", "Apple"), (4, "Cherry", ""), (2, "Hello", "Hallo"), (5, "Hello", "Salut"),
              (6, 'multi\nline, "quoted"', "x")]),
        (-3, [(3, "Apple", "a.py: 0002"), (4, "Cherry", "Cherry"), (2, "Hello", "Bonjour"),
              (5, "Hello", "Hello"), (6, 'multi\nline, "quoted"', 'multi\nline, "quoted"')]),
        (10**30, [(3, "Apple", None), (4, "Cherry", None), (2, "Hello", None), (5, "Hello", None),
                  (6, 'multi\nline, "quoted"', None)]),
    ],
)
def test_tables(write_csv, language_index, expected):
    name = write_csv(ROWS)
    table = load(name, language_index)
    assert type(table) is list
    assert table == expected
    assert all(type(entry) is tuple for entry in table)


def test_raw_rows_come_in_file_order_with_short_and_blank_rows(write_csv):
    name = write_csv(text="Position,0,1\r\na: 0001,B,b\r\n\r\na: 0002,A\r\n")
    assert load(name, -1) == [["a: 0001", "B", "b"], [], ["a: 0002", "A"]]


def test_header_only_gives_an_empty_table_for_every_index(write_csv):
    name = write_csv(text="Position,0,1\r\n")
    for language_index in (0, 1, -1, -2, 5):
        assert load(name, language_index) == []


def test_source_language_reads_only_the_header(write_csv):
    name = write_csv(text='Position,0,1\r\n\r\nshort\r\n"unterminated')
    assert load(name, 0) == []


def test_byte_order_mark_stays_with_the_discarded_header(write_csv):
    name = write_csv(text="\ufeffPosition,0,1\r\na: 0001,A,B\r\n")
    assert load(name, 1) == [(2, "A", "B")]
    assert load(name, -1) == [["a: 0001", "A", "B"]]


@pytest.mark.parametrize(
    "text, language_index, error, message",
    [
        ("", 0, StopIteration, ""),
        ("", 1, StopIteration, ""),
        ("Position\r\nonly-one-cell\r\n", 1, IndexError, "list index out of range"),
        ("Position\r\n\r\n", 2, IndexError, "list index out of range"),
        ("Position\r\na,b\r\n", -4, IndexError, "list index out of range"),
        ("Position\r\na,b\r\n", -(10**30), IndexError,
         "cannot fit 'int' into an index-sized integer"),
    ],
)
def test_errors_propagate(write_csv, text, language_index, error, message):
    name = write_csv(text=text)
    with pytest.raises(error) as caught:
        load(name, language_index)
    assert str(caught.value) == message


def test_missing_file_raises_the_host_error(tmp_path):
    name = str(tmp_path / "missing.csv")
    with pytest.raises(FileNotFoundError) as caught:
        load(name, 0)
    assert caught.value.filename == name


def test_invalid_utf8_raises_while_reading(write_csv):
    name = write_csv(text=b"Position\r\na,\xff\xfe,b\r\n")
    with pytest.raises(UnicodeDecodeError):
        load(name, 1)


def test_csv_layer_error_propagates(write_csv):
    name = write_csv(text="Position\r\na," + "x" * (csv.field_size_limit() + 1) + "\r\n")
    with pytest.raises(csv.Error):
        load(name, 1)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "text, language_index",
    [("Position\r\na,b,c\r\n", 1), ("", 1), ("Position\r\nx\r\n", 1), (b"P\r\n\xff", 1)],
)
def test_file_is_closed_on_every_way_out(write_csv, text, language_index):
    name = write_csv(text=text)
    before = open_descriptors()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        for _ in range(20):
            try:
                load(name, language_index)
            except Exception:
                pass
        gc.collect()
    assert open_descriptors() == before


def test_reader_is_looked_up_when_used(write_csv):
    name = write_csv(text="ignored\r\n")
    seen = []

    def reader(file):
        seen.append(file.name)
        return iter([("header",), ("p", "B", "b"), ("p", "A", "a")])

    qel_i18n._csv_reader = reader
    assert load(name, 1) == [(3, "A", "a"), (2, "B", "b")]
    assert seen == [name]
    del qel_i18n._csv_reader
    with pytest.raises(NameError) as caught:
        load(name, 1)
    assert str(caught.value) == "name '_csv_reader' is not defined"


def test_messages_that_are_not_text_are_sorted_by_the_host(write_csv):
    name = write_csv(text="ignored\r\n")
    qel_i18n._csv_reader = lambda file: iter([["h"], ["p", 3, "c"], ["p", 1, "a"], ["p", 3, "d"]])
    assert load(name, 1) == [(3, 1, "a"), (2, 3, "c"), (4, 3, "d")]
    qel_i18n._csv_reader = lambda file: iter([["h"], ["p", 3, "c"], ["p", "x", "a"]])
    with pytest.raises(TypeError, match="'<' not supported"):
        load(name, 1)


cells = st.text(st.characters(blacklist_categories=["Cs"]), max_size=6)
rows = st.lists(st.lists(cells, min_size=2, max_size=5), max_size=25)


@settings(max_examples=200, deadline=None)
@given(rows=rows, language_index=st.integers(-6, 6), header=st.lists(cells, min_size=1, max_size=4))
def test_matches_the_algorithm_in_plain_python(tmp_path_factory, rows, language_index, header):
    path = tmp_path_factory.mktemp("load") / "c.csv"
    with open(path, "w", newline="", encoding="utf8") as file:
        writer = csv.writer(file)
        writer.writerow(header)
        writer.writerows(rows)
    try:
        expected = reference_load(str(path), language_index)
    except Exception as exc:
        with pytest.raises(type(exc)) as caught:
            load(str(path), language_index)
        assert str(caught.value) == str(exc)
    else:
        assert load(str(path), language_index) == expected


@pytest.mark.parametrize(
    "text, error, note",
    [
        ("", StopIteration, "it is empty, with no header row"),
        ("Position\r\na,b\r\nshort\r\n", IndexError, "line 3"),
        ("Position\r\na,b\r\n\r\n", IndexError, "line 3"),
        (b"Position\r\na,b\r\n\xff\r\n", UnicodeDecodeError, "line "),
    ],
)
def test_errors_name_the_file(write_csv, text, error, note):
    name = write_csv(text=text)
    with pytest.raises(error) as caught:
        load(name, 1)
    (written,) = caught.value.__notes__
    assert written.startswith(f"while reading the catalogue file {name!r}")
    assert note in written


def test_constructor_and_setters_pass_the_note_on(write_csv):
    name = write_csv(text="Position\r\nshort\r\n")
    with pytest.raises(IndexError) as caught:
        qel_i18n.I18N(name, 1)
    assert caught.value.__notes__ == [f"while reading the catalogue file {name!r}, line 2"]
