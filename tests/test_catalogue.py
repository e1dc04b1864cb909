"""The catalogue object: its constructor, its two properties and their store-and-reload under
the object's lock."""

import types

import pytest

import qel_i18n
from qel_i18n import I18N

HEADER = ["Position", "0", "1", "2"]


@pytest.fixture
def catalogue_file(write_csv):
    return write_csv([HEADER, ["a: 0001", "Hello", "Hallo", "Salut"], ["a: 0002", "Bye", "Tschüss"]])


class Recorder:
    """Stands in for I18N at module level, to see each reload."""

    def __init__(self):
        self.calls = []

    def load_data_from_file(self, filename, language_index):
        self.calls.append((filename, language_index))
        return I18N.load_data_from_file(filename, language_index)


@pytest.fixture
def loads():
    recorder = Recorder()
    qel_i18n.I18N = recorder
    return recorder.calls


def test_defaults_read_nothing(loads):
    catalogue = I18N()
    assert vars(catalogue) == {
        "_I18N__language_index": 0,
        "_I18N__filename": "",
        "_I18N__data": [],
        "_I18N__lock": catalogue._I18N__lock,
    }
    assert loads == []


def test_constructor_loads_at_once(catalogue_file, loads):
    catalogue = I18N(catalogue_file, 1)
    assert (catalogue.filename, catalogue.language_index) == (catalogue_file, 1)
    assert catalogue._I18N__data == [(3, "Bye", "Tschüss"), (2, "Hello", "Hallo")]
    assert loads == [(catalogue_file, 1)]
    I18N(catalogue_file)
    assert loads[-1] == (catalogue_file, 0)


def test_constructor_with_missing_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        I18N(str(tmp_path / "missing.csv"))


def test_lock_comes_from_the_module_name(monkeypatch):
    made = []
    qel_i18n._Lock = lambda: made.append(1) or types.SimpleNamespace()
    catalogue = I18N()
    assert made == [1]
    assert type(catalogue._I18N__lock) is types.SimpleNamespace


def test_same_language_index_does_not_reload(catalogue_file, loads):
    catalogue = I18N(catalogue_file, 1)
    catalogue.language_index = 1
    assert loads == [(catalogue_file, 1)]


def test_same_filename_reloads(catalogue_file, loads):
    catalogue = I18N(catalogue_file, 1)
    catalogue.filename = catalogue_file
    assert loads == [(catalogue_file, 1), (catalogue_file, 1)]


def test_empty_filename_keeps_the_table(catalogue_file, loads):
    catalogue = I18N(catalogue_file, 1)
    table = catalogue._I18N__data
    catalogue.filename = ""
    assert catalogue._I18N__data is table
    assert catalogue.gettext("Hello") == "Hallo"
    catalogue.language_index = 2
    assert catalogue.language_index == 2 and catalogue._I18N__data is table
    assert loads == [(catalogue_file, 1)]


def test_language_zero_with_a_file_reloads_an_empty_table(catalogue_file, tmp_path):
    catalogue = I18N(catalogue_file, 1)
    catalogue.language_index = 0
    assert catalogue._I18N__data == []
    catalogue.language_index = 1
    moved = str(tmp_path / "gone.csv")
    catalogue.filename = catalogue_file
    import os

    os.rename(catalogue_file, moved)
    with pytest.raises(FileNotFoundError):
        catalogue.language_index = 0


def test_failed_load_keeps_new_value_and_old_table(catalogue_file, tmp_path):
    catalogue = I18N(catalogue_file, 1)
    table = catalogue._I18N__data
    missing = str(tmp_path / "missing.csv")
    with pytest.raises(FileNotFoundError):
        catalogue.filename = missing
    assert catalogue.filename == missing
    assert catalogue._I18N__data is table
    assert catalogue.gettext("Hello") == "Hallo"
    # The lock was released on the way out.
    assert not catalogue._I18N__lock.locked()
    with pytest.raises(FileNotFoundError):
        catalogue.language_index = 2
    assert catalogue.language_index == 2 and catalogue._I18N__data is table


def test_either_order_of_setting_ends_with_the_same_table(catalogue_file, loads):
    first = I18N()
    first.filename = catalogue_file
    first.language_index = 1
    reads_first = len(loads)
    second = I18N()
    second.language_index = 1
    second.filename = catalogue_file
    assert first._I18N__data == second._I18N__data
    assert (reads_first, len(loads) - reads_first) == (2, 1)
    assert loads[:2] == [(catalogue_file, 0), (catalogue_file, 1)]


def test_setter_reads_the_other_property_through_its_getter(catalogue_file):
    catalogue = I18N(catalogue_file, 1)
    catalogue._I18N__language_index = "two"
    with pytest.raises(TypeError, match="Expected int, got str"):
        catalogue.filename = catalogue_file


class RecordingLock:
    def __init__(self):
        self.events = []

    def __enter__(self):
        self.events.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.events.append(("exit", exc_info[0]))
        return False


@pytest.mark.parametrize("change", ["language_index", "filename"])
def test_setters_hold_the_lock_while_reloading(catalogue_file, change):
    lock = RecordingLock()
    qel_i18n._Lock = lambda: lock
    catalogue = I18N(catalogue_file, 1)
    assert lock.events == []  # the constructor takes no lock
    recorder = Recorder()
    original = recorder.load_data_from_file

    def load(filename, language_index):
        lock.events.append("load")
        return original(filename, language_index)

    recorder.load_data_from_file = load
    qel_i18n.I18N = recorder
    setattr(catalogue, change, 2 if change == "language_index" else catalogue_file)
    assert lock.events == ["enter", "load", ("exit", None)]


def test_failed_reload_leaves_the_lock_with_the_exception(catalogue_file, tmp_path):
    lock = RecordingLock()
    qel_i18n._Lock = lambda: lock
    catalogue = I18N(catalogue_file, 1)
    with pytest.raises(FileNotFoundError):
        catalogue.filename = str(tmp_path / "missing.csv")
    assert lock.events == ["enter", ("exit", FileNotFoundError)]


def test_a_lock_that_suppresses_lets_the_setter_return(catalogue_file, tmp_path):
    class Swallowing(RecordingLock):
        def __exit__(self, *exc_info):
            super().__exit__(*exc_info)
            return True

    qel_i18n._Lock = Swallowing
    catalogue = I18N(catalogue_file, 1)
    table = catalogue._I18N__data
    catalogue.filename = str(tmp_path / "missing.csv")
    assert catalogue._I18N__data is table


def test_an_object_that_is_no_context_manager_fails_like_a_with_statement(catalogue_file):
    qel_i18n._Lock = object
    catalogue = I18N(catalogue_file, 1)
    with pytest.raises(TypeError) as caught:
        catalogue.language_index = 2
    assert str(caught.value) == "'object' object does not support the context manager protocol"
    assert catalogue.language_index == 1
