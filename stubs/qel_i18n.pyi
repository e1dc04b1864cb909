# Type stubs for the qel_i18n extension module: the catalogue class, the default catalogue, the
# module functions, and the host services bound under module-level names (threading.Lock is the
# lock factory function up to 3.12 and the lock class from 3.13 on).

import _thread
import csv as _csv
import glob as _glob_module
import json as _json
import os.path as _os_path
import re as re
import sys
import threading as _threading
from _typeshed import StrOrBytesPath
from typing import Any, _SpecialForm

_csv_reader = _csv.reader
_csv_writer = _csv.writer
_glob = _glob_module.glob
_load_str = _json.loads
_exists = _os_path.exists
_sep: str
if sys.version_info >= (3, 13):
    _Lock = _threading.Lock
else:
    _Lock = _thread.allocate_lock
_Optional: _SpecialForm
_the_pattern: re.Pattern[str]

class I18N:
    def __init__(self, csv_filename: str = "", language_index: int = 0) -> None: ...
    @property
    def language_index(self) -> int: ...
    @language_index.setter
    def language_index(self, value: int) -> None: ...
    @property
    def filename(self) -> str: ...
    @filename.setter
    def filename(self, value: str) -> None: ...
    @staticmethod
    def load_data_from_file(filename: str, language_index: int) -> list[tuple[Any, ...]]: ...
    def gettext(self, message: str) -> str: ...

i18n: I18N

def gettext(message: str) -> str: ...
def _parse_one_file(source_filename: str, cache: dict[tuple[str, str], list[Any]]) -> None: ...
def parse(csv_filename: str, *filenames: str) -> None: ...
def parse_directory(
    csv_filename: str, directory: str, extend_name: str | None = None, recursive: bool = True
) -> None: ...
def replace_gettext(*filenames: StrOrBytesPath) -> None: ...
