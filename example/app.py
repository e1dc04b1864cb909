"""A small application whose messages are translated with qel_i18n.

Run it as `python app.py [language]`: 0 shows the messages as written, 1 in French, 2 in German.
"""

import os
import sys

import qel_i18n

_ = qel_i18n.gettext

CATALOGUE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "messages.csv")


def greet(name):
    print(_("Hello!"), name)
    print(_("Your files have been saved."))
    print(_("This message is new."))
    print(_("Goodbye."))


def main(argv):
    language = int(argv[1]) if len(argv) > 1 else 1
    qel_i18n.i18n.filename = CATALOGUE
    qel_i18n.i18n.language_index = language
    greet("Ada")


if __name__ == "__main__":
    main(sys.argv)
