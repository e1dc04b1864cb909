"""Plays the translator: fills in the catalogue cells that are still empty for one language,
as someone would in a spreadsheet, and saves the file as CSV again.

    python translate.py messages.csv LANGUAGE 'message=translation' ...
"""

import csv
import sys


def main(argv):
    catalogue, language, pairs = argv[1], int(argv[2]), argv[3:]
    translations = dict(pair.split("=", 1) for pair in pairs)
    with open(catalogue, newline="", encoding="utf8") as file:
        rows = list(csv.reader(file))
    column = language + 1
    for row in rows[1:]:
        if row[1] in translations and (len(row) <= column or not row[column]):
            row.extend([""] * (column + 1 - len(row)))
            row[column] = translations[row[1]]
    with open(catalogue, "w", newline="", encoding="utf8") as file:
        csv.writer(file).writerows(rows)


if __name__ == "__main__":
    main(sys.argv)
