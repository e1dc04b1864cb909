"""A small application translated with the standard gettext module: the starting point of the
move to qel_i18n that the README describes.

Run it as `python app.py [language]`, the language a code such as fr; its translations are in
locale/fr/LC_MESSAGES/app.mo, compiled from app.po with `msgfmt`.
"""

import gettext
import os
import sys

_ = gettext.gettext

HERE = os.path.dirname(os.path.abspath(__file__))


def use_language(language):
    gettext.bindtextdomain("app", os.path.join(HERE, "locale"))
    gettext.textdomain("app")
    os.environ["LANGUAGE"] = language


def report(name, count):
    print(_("Hello, {name}!").format(name=name))
    print(_("%(count)d files were saved.") % {"count": count})
    print(_("Nothing to do."))
    print(_("Goodbye."))


def main(argv):
    use_language(argv[1] if len(argv) > 1 else "fr")
    report("Ada", 3)


if __name__ == "__main__":
    main(sys.argv)
