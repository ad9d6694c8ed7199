#!/usr/bin/env python3
"""Writes the first draft of an expected dump from libmdb's own reading of a
fixture (the mdbtools command-line tools: mdb-tables, mdb-schema,
mdb-export), in the form tst_jet_values compares with.

    tests/data/jet/expected/from_mdb_export.py FIXTURE > expected/FIXTURE.txt

Columns libmdb does not read (see README.md) come out as libmdb shows them and
are then corrected by hand, each correction checked against the file itself.
"""

import decimal
import re
import struct
import subprocess
import sys

FIELD = "\x1f"
ROW = "\x1e\n"
QUOTE = "\x02"


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout.decode("utf-8", "surrogateescape")


def column_types(path, table):
    schema = run("mdb-schema", "-T", table, "--no-indexes", "--no-relations", path, "access")
    return re.findall(r"^\t\[(.*)\]\t+(.*?)(?: NOT NULL)?,?\s*$", schema, re.M)


def quoted(text):
    out = '"'
    for c in text:
        out += {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(c, c)
    return out + '"'


def shortest_real(value):
    text = repr(float(value))
    return text.replace("e+", "e") if "e" in text else text


def decimal_value(text):
    number = decimal.Decimal(text)
    if number == number.to_integral_value() and -2**63 <= number < 2**63:
        return str(int(number))
    digits = number.normalize().as_tuple().digits
    if len(digits) <= 15:
        return shortest_real(number)
    return quoted(format(number.normalize(), "f"))


def single_value(text):
    bits = struct.unpack("<f", struct.pack("<f", float(text)))[0]
    for precision in range(1, 10):
        candidate = "%.*g" % (precision, bits)
        if struct.unpack("<f", struct.pack("<f", float(candidate)))[0] == bits:
            return shortest_real(candidate)
    return shortest_real(bits)


def value(kind, field):
    if field == "":
        return "NULL"
    if field.startswith(QUOTE):
        field = field[1:-1]
        if kind in ("OLE", "Binary") or kind.startswith("Binary"):
            return "x'" + field.lower() + "'"
        if kind == "Replication ID" and re.fullmatch(r"[0-9A-F]+", field):
            # In hex mode mdb-export writes the GUID's text in hex.
            return quoted(bytes.fromhex(field).decode("ascii"))
        if kind == "DateTime":
            return quoted(field.removesuffix(" 00:00:00"))
        return quoted(field)
    if kind in ("Byte", "Integer", "Long Integer", "Boolean", "Boolean NOT NULL"):
        return str(int(field))
    if kind == "Single":
        return single_value(field)
    if kind == "Double":
        return shortest_real(field)
    if kind == "Currency" or kind.startswith("Numeric"):
        return decimal_value(field)
    return field


def main(path):
    for table in run("mdb-tables", "-1", path).splitlines():
        types = column_types(path, table)
        print("table " + table)
        print("columns " + " | ".join(name for name, _ in types))
        export = run("mdb-export", "-H", "-d", FIELD, "-R", ROW, "-q", QUOTE, "-X", QUOTE, "-b", "hex",
                     "-D", "%Y-%m-%d %H:%M:%S", "-T", "%Y-%m-%d %H:%M:%S", path, table)
        for line in export.split(ROW):
            if not line:
                continue
            fields = line.split(FIELD)
            print("row " + " | ".join(value(kind, field) for (_, kind), field in zip(types, fields)))


if __name__ == "__main__":
    main(sys.argv[1])
