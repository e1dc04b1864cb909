"""The gettext rewriter: which lines change, how, and that files are written back safely and
only when a line changed."""

import os
import stat

import pytest

import qel_i18n


@pytest.mark.parametrize(
    "before, after",
    [
        ("import gettext\n", "import qel_i18n\n"),
        ("import gettext as gt\n", "import qel_i18n as gt\n"),
        ("import gettext, os\n", "import qel_i18n, os\n"),
        ("import gettext", "import qel_i18n"),
        ("import gettextual\n", "import gettextual\n"),
        ("import gettext_x\n", "import gettext_x\n"),
        ("import gettext2\n", "import gettext2\n"),
        ("    import gettext\n", "    import gettext\n"),
        ("from gettext import gettext as _\n", "from gettext import gettext as _\n"),
        ("_ = gettext.gettext\n", "_ = qel_i18n.gettext\n"),
        ("_ = gettext.gettext_noop\n", "_ = gettext.gettext_noop\n"),
        ("_=gettext.gettext\n", "_=gettext.gettext\n"),
        ("import gettext  # import gettext again\n", "import qel_i18n  # import qel_i18n again\n"),
        ("\ufeffimport gettext\n", "\ufeffimport qel_i18n\n"),  # the mark is no part of the line
        ("\ufeff_ = gettext.gettext\n", "\ufeff_ = qel_i18n.gettext\n"),
        ("\ufeff\ufeffimport gettext\n", "\ufeff\ufeffimport gettext\n"),
        ("import gettext  # not import gettextual\n", "import qel_i18n  # not import gettextual\n"),
        ("import gettext; _ = gettext.gettext\n", "import qel_i18n; _ = gettext.gettext\n"),
        ("_ = gettext.gettext  # import gettext\n", "_ = qel_i18n.gettext  # import gettext\n"),
    ],
)
def test_line_rewriting(tmp_path, before, after):
    path = tmp_path / "a.py"
    path.write_bytes(before.encode())
    qel_i18n.replace_gettext(str(path))
    assert path.read_bytes() == after.encode()


def test_untouched_files_keep_bytes_and_time(tmp_path):
    path = tmp_path / "a.py"
    path.write_bytes(b"import os\r\nimport gettextual\r\n")
    os.utime(path, (1, 1))
    qel_i18n.replace_gettext(str(path), str(path))
    assert path.read_bytes() == b"import os\r\nimport gettextual\r\n"
    assert os.stat(path).st_mtime == 1


def test_a_rewritten_file_is_rewritten_whole(tmp_path):
    path = tmp_path / "a.py"
    path.write_bytes("\ufeffimport gettext\r\nimport gettext\rx = 1\n_ = gettext.gettext".encode())
    qel_i18n.replace_gettext(path)  # any name open() accepts
    assert path.read_bytes() == (
        "\ufeffimport qel_i18n\nimport qel_i18n\nx = 1\n_ = qel_i18n.gettext".encode())


def test_mode_and_symbolic_links_are_kept(tmp_path):
    target = tmp_path / "real.py"
    target.write_text("import gettext\n")
    os.chmod(target, 0o751)
    link = tmp_path / "link.py"
    link.symlink_to("real.py")
    qel_i18n.replace_gettext(str(link))
    assert os.readlink(link) == "real.py"
    assert target.read_text() == "import qel_i18n\n"
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o751
    assert sorted(os.listdir(tmp_path)) == ["link.py", "real.py"]


def test_files_are_handled_in_order_and_errors_stop_the_call(tmp_path):
    first, bad, last = (tmp_path / n for n in ("1.py", "2.py", "3.py"))
    first.write_text("import gettext\n")
    bad.write_bytes(b"import gettext\n\xff\n")
    last.write_text("import gettext\n")
    with pytest.raises(UnicodeDecodeError) as caught:
        qel_i18n.replace_gettext(str(first), str(bad), str(last))
    assert caught.value.__notes__ == [f"while rewriting {str(bad)!r}"]
    assert first.read_text() == "import qel_i18n\n"
    assert bad.read_bytes() == b"import gettext\n\xff\n"
    assert last.read_text() == "import gettext\n"
    with pytest.raises(FileNotFoundError):
        qel_i18n.replace_gettext(str(tmp_path / "missing.py"))


def test_a_failed_write_leaves_the_file_and_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "a.py"
    path.write_text("import gettext\n")

    def refuse(source, target):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(OSError):
        qel_i18n.replace_gettext(str(path))
    assert path.read_text() == "import gettext\n"
    assert os.listdir(tmp_path) == ["a.py"]


def test_no_arguments_do_nothing():
    assert qel_i18n.replace_gettext() is None
