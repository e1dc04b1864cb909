"""Plain-Python versions of the loader and the lookup, the baselines that show what the native
module buys: the same steps, written the obvious way."""

import csv
import threading


class I18N:
    def __init__(self, csv_filename="", language_index=0):
        self.__language_index = language_index
        self.__filename = csv_filename
        self.__data = []
        self.__lock = threading.Lock()
        if csv_filename:
            self.__data = I18N.load_data_from_file(csv_filename, language_index)

    @staticmethod
    def load_data_from_file(filename, language_index):
        result = []
        with open(filename, "r", newline="", encoding="utf8") as file:
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

    def gettext(self, message):
        if self.__language_index == 0:
            return message
        with self.__lock:
            data = self.__data
        if not data:
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
