"""Realistic test catalogues for the benchmarks: messages of 10 to 80 characters built from
common words, half of them translated, written as a catalogue file (as the update writes it:
sorted by message, new rows with two cells) and as an equivalent GNU .mo file."""

import csv
import json
import os
import random
import struct

WORDS = """
the a to of and in is it you that for on with as are this be at have not file your can will
from or by all new open save cannot folder error please select name value type user settings
window close copy paste delete edit view help about search find replace print page document
image format size color font line text number date time message server connection network
download upload update install remove version license account password login logout profile
language translation export import backup restore project task list item table row column
""".split()


def sentence(rng):
    while True:
        words = [rng.choice(WORDS) for _ in range(rng.randint(2, 14))]
        text = " ".join(words).capitalize() + rng.choice([".", "", "?", ":", "!"])
        if 10 <= len(text) <= 80:
            return text


def messages(count, seed):
    """`count` distinct messages and as many distinct others that are not among them."""
    rng = random.Random(seed)
    found = set()
    while len(found) < 2 * count:
        found.add(sentence(rng))
    everything = sorted(found)
    rng.shuffle(everything)
    return sorted(everything[:count]), everything[count:]


def translate(message):
    return "«" + " ".join(reversed(message.split())) + "»"


def write_catalogue(path, messages):
    """Rows sorted by message; every other message has a translation."""
    with open(path, "w", newline="", encoding="utf8") as file:
        writer = csv.writer(file)
        writer.writerow(("Position", 0, 1))
        for i, message in enumerate(messages):
            position = f"src/module{i % 97:02}.py: {i // 97 + 1:04}"
            if i % 2 == 0:
                writer.writerow([position, message, translate(message)])
            else:
                writer.writerow([position, message])


def write_mo(path, pairs):
    """A GNU .mo file (little-endian, no hash table) holding `pairs` of message and translation."""
    entries = sorted((k.encode(), v.encode()) for k, v in pairs)
    entries.insert(0, (b"", b"Content-Type: text/plain; charset=UTF-8\n"))
    count = len(entries)
    keys_at, values_at = 28, 28 + 8 * count
    data_at = 28 + 16 * count
    keys = b"".join(k + b"\0" for k, _ in entries)
    key_table, value_table, offset = [], [], data_at
    for k, _ in entries:
        key_table.append((len(k), offset))
        offset += len(k) + 1
    for _, v in entries:
        value_table.append((len(v), offset))
        offset += len(v) + 1
    with open(path, "wb") as file:
        file.write(struct.pack("<7I", 0x950412DE, 0, count, keys_at, values_at, 0, 0))
        for length, at in key_table + value_table:
            file.write(struct.pack("<2I", length, at))
        file.write(keys)
        file.write(b"".join(v + b"\0" for _, v in entries))


def prepare(directory, count):
    """Writes the files for a catalogue of `count` messages; returns (csv, mo, messages,
    others) with the file names and the two message lists. The lists are kept beside the files
    as JSON: making them takes seconds at 100 000 messages, and every benchmark worker asks."""
    os.makedirs(directory, exist_ok=True)
    csv_name = os.path.join(directory, f"catalogue-{count}.csv")
    mo_name = os.path.join(directory, f"catalogue-{count}.mo")
    lists_name = os.path.join(directory, f"catalogue-{count}.json")
    if os.path.exists(lists_name) and os.path.exists(csv_name) and os.path.exists(mo_name):
        with open(lists_name, encoding="utf8") as file:
            present, absent = json.load(file)
        return csv_name, mo_name, present, absent
    present, absent = messages(count, seed=count)
    # Each file is written beside its name and then replaces it, so that a benchmark reading the
    # old one meanwhile reads it whole; the lists come last, so that a run stopped part-way makes
    # them all again.
    write_catalogue(csv_name + ".tmp", present)
    os.replace(csv_name + ".tmp", csv_name)
    write_mo(mo_name + ".tmp", [(m, translate(m)) for i, m in enumerate(present) if i % 2 == 0])
    os.replace(mo_name + ".tmp", mo_name)
    with open(lists_name + ".tmp", "w", encoding="utf8") as file:
        json.dump([present, absent], file)
    os.replace(lists_name + ".tmp", lists_name)
    return csv_name, mo_name, present, absent
