"""The catalogue update: the rows and bytes of the catalogue and excess files, the merge rules,
and that no row, translation or file is lost on the way."""

import csv
import io
import os
import stat

import pytest

import qel_i18n


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A directory to run parse in, with helpers to write sources and read results."""
    monkeypatch.chdir(tmp_path)

    class Work:
        path = tmp_path

        @staticmethod
        def source(name, *lines):
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).write_text("".join(line + "\n" for line in lines), encoding="utf8")
            return name

        @staticmethod
        def write(name, rows):
            buffer = io.StringIO(newline="")
            csv.writer(buffer).writerows(rows)
            (tmp_path / name).write_bytes(buffer.getvalue().encode("utf8"))

        @staticmethod
        def bytes(name):
            return (tmp_path / name).read_bytes()

        @staticmethod
        def rows(name):
            with open(tmp_path / name, newline="", encoding="utf8") as file:
                return list(csv.reader(file))

        @staticmethod
        def listing():
            return sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*"))

    return Work


def test_new_catalogue_without_messages(work):
    qel_i18n.parse("m.csv")
    assert work.bytes("m.csv") == b"Position,0,1\r\n"
    assert not os.path.exists("m-excess.csv")


def test_new_catalogue_rows(work):
    work.source("z.py", '_("Apple")', '_("Cherry")')
    work.source("a.py", '_("Banana") _("Apple")', "", '_("Cherry, \\"ripe\\"")')
    qel_i18n.parse("m.csv", "z.py", "a.py")
    assert work.bytes("m.csv") == (
        b"Position,0,1\r\n"
        b"a.py: 0001,Apple\r\n"
        b"z.py: 0001,Apple\r\n"
        b"a.py: 0001,Banana\r\n"
        b"z.py: 0002,Cherry\r\n"
        b'a.py: 0003,"Cherry, ""ripe"""\r\n'
    )
    # The order of the sources makes no difference.
    first = work.bytes("m.csv")
    os.remove("m.csv")
    qel_i18n.parse("m.csv", "a.py", "z.py")
    assert work.bytes("m.csv") == first


def test_positions_sort_as_text(work):
    work.source("a.py", *([""] * 9998 + ['_("m")', '_("m")']))
    qel_i18n.parse("m.csv", "a.py")
    assert work.rows("m.csv")[1:] == [["a.py: 10000", "m"], ["a.py: 9999", "m"]]


def test_merge_rules(work):
    work.source("a.py", '_("kept")', '_("new")')
    work.write("m.csv", [
        ["Position", "0", "1", "2"],
        ["a.py: 0001", "kept", "behalten", "gardé"],
        ["a.py: 0005", "gone", "weg"],
        ["a.py: 0002", "edited by hand", "x"],
    ])
    qel_i18n.parse("m.csv", "a.py")
    assert work.rows("m.csv") == [
        ["Position", "0", "1", "2"],
        ["a.py: 0001", "kept", "behalten", "gardé"],
        ["a.py: 0002", "new"],
    ]
    assert work.rows("m-excess.csv") == [
        ["Position", "0", "1", "2"],
        ["a.py: 0002", "edited by hand", "x"],
        ["a.py: 0005", "gone", "weg"],
    ]


def test_first_row_is_always_the_header(work):
    work.source("a.py", '_("m")')
    work.write("m.csv", [["a.py: 0001", "m", "looks like data"]])
    qel_i18n.parse("m.csv", "a.py")
    assert work.rows("m.csv") == [["a.py: 0001", "m", "looks like data"], ["a.py: 0001", "m"]]


def test_no_sources_moves_every_row_to_the_excess_file(work):
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "m", "t"]])
    qel_i18n.parse("m.csv")
    assert work.bytes("m.csv") == b"Position,0,1\r\n"
    assert work.rows("m-excess.csv") == [["Position", "0", "1"], ["a.py: 0001", "m", "t"]]


def test_a_second_run_changes_nothing_and_writes_no_excess(work):
    work.source("a.py", '_("a")', '_("b")')
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0009", "old", "alt"]])
    qel_i18n.parse("m.csv", "a.py")
    catalogue, excess = work.bytes("m.csv"), work.bytes("m-excess.csv")
    os.utime("m-excess.csv", (1, 1))
    qel_i18n.parse("m.csv", "a.py")
    assert work.bytes("m.csv") == catalogue
    assert work.bytes("m-excess.csv") == excess
    assert os.stat("m-excess.csv").st_mtime == 1


def test_a_moved_message_loses_its_row_to_the_excess_file(work):
    work.source("a.py", '_("m")')
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "m", "übersetzt"]])
    work.source("a.py", "# a new first line", '_("m")')
    qel_i18n.parse("m.csv", "a.py")
    assert work.rows("m.csv")[1:] == [["a.py: 0002", "m"]]
    assert work.rows("m-excess.csv")[1:] == [["a.py: 0001", "m", "übersetzt"]]


def test_duplicate_rows_are_not_dropped(work):
    work.source("a.py", '_("m")')
    work.write("m.csv", [
        ["Position", "0", "1"],
        ["a.py: 0001", "m", "first"],
        ["b.py: 0001", "x", "one"],
        ["a.py: 0001", "m", "second"],
        ["b.py: 0001", "x", "two"],
        ["a.py: 0001", "m", "third"],
    ])
    qel_i18n.parse("m.csv", "a.py")
    assert work.rows("m.csv")[1:] == [["a.py: 0001", "m", "third"]]
    assert work.rows("m-excess.csv")[1:] == [
        ["a.py: 0001", "m", "first"],
        ["a.py: 0001", "m", "second"],
        ["b.py: 0001", "x", "one"],
        ["b.py: 0001", "x", "two"],
    ]


@pytest.mark.parametrize(
    "catalogue, excess",
    [
        ("lang/messages.csv", "lang/messages-excess.csv"),
        ("messages", "messages-excess.csv"),
        ("build.d/messages", "build.d/messages-excess.csv"),
        ("./messages", "./messages-excess.csv"),
        (".hidden", ".hidden-excess.csv"),
        ("a.b.csv", "a.b-excess.csv"),
    ],
)
def test_excess_file_lies_beside_the_catalogue(work, catalogue, excess):
    os.makedirs(os.path.dirname(catalogue) or ".", exist_ok=True)
    work.write(catalogue, [["Position", "0", "1"], ["a.py: 0001", "m", "t"]])
    qel_i18n.parse(catalogue)
    assert work.rows(excess) == [["Position", "0", "1"], ["a.py: 0001", "m", "t"]]


def test_translations_survive_a_round_trip_through_the_excess_file(work):
    work.source("a.py", '_("m")', '_("other")')
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "m", "übersetzt"],
                         ["a.py: 0002", "other"]])
    work.source("a.py", "# inserted", '_("m")', '_("other")')
    qel_i18n.parse("m.csv", "a.py")
    work.source("a.py", '_("m")', '_("other")')
    qel_i18n.parse("m.csv", "a.py")
    # The translation left the catalogue in the first run; the second run keeps it in the
    # excess file although its own excess rows are others.
    assert work.rows("m-excess.csv") == [
        ["Position", "0", "1"],
        ["a.py: 0001", "m", "übersetzt"],
        ["a.py: 0002", "m"],
        ["a.py: 0003", "other"],
    ]


def test_old_excess_rows_kept_only_with_translations_and_once(work):
    work.write("m-excess.csv", [
        ["Old header"],
        ["z.py: 0001", "b", "kept"],
        ["z.py: 0002", "b"],
        ["z.py: 0003", "b", ""],
        ["z.py: 0004", "b", "", "", "deep"],
        ["a.py: 0001", "a", "same"],
        ["short"],
        [],
    ])
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "a", "same"],
                         ["a.py: 0001", "b", "ours"]])
    qel_i18n.parse("m.csv")
    assert work.rows("m-excess.csv") == [
        ["Position", "0", "1"],
        ["a.py: 0001", "a", "same"],
        ["a.py: 0001", "b", "ours"],
        ["z.py: 0001", "b", "kept"],
        ["z.py: 0004", "b", "", "", "deep"],
    ]


def test_an_empty_old_excess_file_counts_as_no_rows(work):
    (work.path / "m-excess.csv").write_bytes(b"")
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "m", "t"]])
    qel_i18n.parse("m.csv")
    assert work.rows("m-excess.csv") == [["Position", "0", "1"], ["a.py: 0001", "m", "t"]]


def test_an_unreadable_old_excess_file_stops_the_run(work):
    (work.path / "m-excess.csv").write_bytes(b"header\r\n\xff\r\n")
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "m", "t"]])
    before = work.bytes("m.csv")
    with pytest.raises(UnicodeDecodeError) as caught:
        qel_i18n.parse("m.csv")
    assert "while reading the catalogue file 'm-excess.csv'" in caught.value.__notes__[0]
    assert work.bytes("m.csv") == before


def test_no_excess_rows_leave_the_excess_file_alone(work):
    work.write("m-excess.csv", [["anything"]])
    qel_i18n.parse("m.csv")
    assert work.rows("m-excess.csv") == [["anything"]]


@pytest.fixture
def failing_write(work):
    """A catalogue, an excess file, and a source whose message the encoder refuses."""
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "gone", "weg"],
                         ["b.py: 0001", "kept", "t"]])
    work.write("m-excess.csv", [["Position", "0", "1"], ["c.py: 0001", "old", "alt"]])
    work.source("b.py", '_("kept")', '_("\\ud800")')
    return {name: work.bytes(name) for name in ("m.csv", "m-excess.csv")}


def test_a_failed_write_loses_nothing(work, failing_write):
    listing = work.listing()
    with pytest.raises(UnicodeEncodeError) as caught:
        qel_i18n.parse("m.csv", "b.py")
    assert "surrogates not allowed" in str(caught.value)
    assert caught.value.__notes__ == ["while writing 'm.csv'"]
    assert {name: work.bytes(name) for name in failing_write} == failing_write
    assert work.listing() == listing


def test_replacing_the_excess_file_comes_first(work, monkeypatch):
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "gone", "weg"]])
    replaced = []
    original = os.replace
    monkeypatch.setattr(os, "replace", lambda a, b: replaced.append(os.path.basename(b)) or original(a, b))
    qel_i18n.parse("m.csv")
    assert replaced == ["m-excess.csv", "m.csv"]


def test_a_failed_replace_of_the_catalogue_restores_the_excess_file(work, failing_write, monkeypatch):
    work.source("b.py", '_("kept")')
    listing = work.listing()
    original = os.replace

    def replace(source, target):
        if os.path.basename(target) == "m.csv":
            raise PermissionError(13, "Permission denied", target)
        return original(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(PermissionError) as caught:
        qel_i18n.parse("m.csv", "b.py")
    assert caught.value.filename == "m.csv"
    assert {name: work.bytes(name) for name in failing_write} == failing_write
    assert work.listing() == listing


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_new_files_get_the_mode_open_gives(work, umask):
    old = os.umask(umask)
    try:
        work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "gone", "weg"]])
        os.remove("m.csv")
        work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "gone", "weg"]])
        os.chmod("m.csv", 0o640)
        qel_i18n.parse("m.csv")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat("m.csv").st_mode) == 0o640  # replaced: keeps its bits
    assert stat.S_IMODE(os.stat("m-excess.csv").st_mode) == 0o666 & ~umask  # new


@pytest.mark.parametrize(
    "name, error, text",
    [
        ("missing/m.csv", FileNotFoundError, "[Errno 2] No such file or directory: 'missing/m.csv'"),
        ("", FileNotFoundError, "[Errno 2] No such file or directory: ''"),
        ("adir", IsADirectoryError, "[Errno 21] Is a directory: 'adir'"),
    ],
)
def test_errors_creating_the_file_name_the_target(work, name, error, text):
    os.mkdir("adir")
    qel_i18n._exists = lambda path: False  # as if there were no catalogue yet
    listing = work.listing()
    with pytest.raises(error) as caught:
        qel_i18n.parse(name)
    assert str(caught.value) == text
    assert work.listing() == listing


def test_a_symbolic_link_keeps_pointing_where_it_did(work):
    os.mkdir("real")
    work.write("real/m.csv", [["Position", "0", "1"]])
    os.symlink("real/m.csv", "m.csv")
    work.source("a.py", '_("x")')
    qel_i18n.parse("m.csv", "a.py")
    assert os.readlink("m.csv") == "real/m.csv"
    assert work.rows("real/m.csv") == [["Position", "0", "1"], ["a.py: 0001", "x"]]


@pytest.mark.parametrize(
    "content, error, note",
    [
        (b"", StopIteration, "while reading the catalogue file 'm.csv': it is empty, with no header row"),
        (b"Position\r\nshort\r\n", IndexError, "while reading the catalogue file 'm.csv', line 2"),
        (b"Position\r\n\r\n", IndexError, "while reading the catalogue file 'm.csv', line 2"),
        (b"Position\r\na,b\r\n\xff\r\n", UnicodeDecodeError, "while reading the catalogue file 'm.csv', line "),
    ],
)
def test_catalogue_errors_propagate_with_a_note_and_nothing_is_written(work, content, error, note):
    (work.path / "m.csv").write_bytes(content)
    work.source("a.py", '_("x")')
    listing = work.listing()
    with pytest.raises(error) as caught:
        qel_i18n.parse("m.csv", "a.py")
    assert caught.value.__notes__[0].startswith(note)
    assert work.bytes("m.csv") == content
    assert work.listing() == listing


def test_a_csv_layer_error_names_the_file(work):
    (work.path / "m.csv").write_text("Position\r\na," + "x" * (csv.field_size_limit() + 1) + "\r\n")
    with pytest.raises(csv.Error) as caught:
        qel_i18n.parse("m.csv")
    assert caught.value.__notes__ == ["while reading the catalogue file 'm.csv', line 2"]


def test_a_bad_source_stops_before_anything_is_written(work):
    work.source("a.py", '_("x")')
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "x", "t"]])
    before = work.bytes("m.csv")
    for sources in [("a.py", "missing.py"), ("a.py", 7), ("a.py", work.source("b.py", '_("\\q")'))]:
        with pytest.raises((OSError, TypeError, ValueError)):
            qel_i18n.parse("m.csv", *sources)
        assert work.bytes("m.csv") == before
        assert not os.path.exists("m-excess.csv")


def test_scanning_goes_through_the_module_name(work):
    seen = []
    qel_i18n._parse_one_file = lambda name, cache: seen.append((name, type(cache)))
    qel_i18n.parse("m.csv", "a.py", "b.py")
    assert seen == [("a.py", dict), ("b.py", dict)]
    qel_i18n.parse(csv_filename="m.csv")
    assert len(seen) == 2


def test_the_written_catalogue_is_the_one_the_loader_reads(work):
    work.source("a.py", '_("b")', '_("a")')
    work.write("m.csv", [["Position", "0", "1"], ["a.py: 0001", "b", "B"]])
    qel_i18n.parse("m.csv", "a.py")
    assert qel_i18n.I18N.load_data_from_file("m.csv", 1) == [(2, "a", None), (3, "b", "B")]


@pytest.mark.parametrize("limit, length", [(None, 131_073), (1000, 1001)])
def test_a_cell_the_reader_cannot_read_back_is_refused(work, limit, length):
    old_limit = csv.field_size_limit(limit) if limit else csv.field_size_limit()
    try:
        work.source("a.py", '_("ok")', f'_("{"x" * length}")')
        listing = work.listing()
        with pytest.raises(ValueError, match=f"'a.py: 0002' has a cell of {length} characters"):
            qel_i18n.parse("m.csv", "a.py")
        assert work.listing() == listing
        work.source("a.py", '_("ok")', f'_("{"x" * (length - 1)}")')
        qel_i18n.parse("m.csv", "a.py")  # at the limit: written, and read back
        assert len(qel_i18n.I18N.load_data_from_file("m.csv", 1)) == 2
    finally:
        csv.field_size_limit(old_limit)
