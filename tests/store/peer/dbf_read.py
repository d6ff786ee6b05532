#!/usr/bin/python3
"""Reads a table with python3-dbf and with dbfread and prints what each saw:
    dbf_read.py TABLE.DBF
Lines: "<reader> N D|field|..." (D "*" when deleted, memo fields as hex of their bytes)."""
import sys

import dbf
import dbfread

path = sys.argv[1]


def shown(v, memo, encoding, trim):
    """One field as the test compares it: memos as hex of their bytes, T/F, YYYYMMDD."""
    if memo:
        return (v or "").encode(encoding).hex()
    if v is None:
        return ""
    if isinstance(v, bool):
        return "T" if v else "F"
    if hasattr(v, "strftime"):
        return v.strftime("%Y%m%d")
    return trim(str(v))


t = dbf.Table(path, codepage="cp1252")
t.open(dbf.READ_ONLY)
names = dbf.field_names(t)
for n, r in enumerate(t, 1):
    out = [shown(r[name], t.field_info(name)[0] == dbf.FieldType.MEMO, "cp1252", str.rstrip)
           for name in names]
    print("dbf %d %s|%s" % (n, "*" if dbf.is_deleted(r) else " ", "|".join(out)))
print("updated dbf %s" % t.last_update.strftime("%Y%m%d"))
t.close()

# dbfread decodes with latin-1 so that every byte maps to one character and back.
table = dbfread.DBF(path, encoding="latin-1", char_decode_errors="strict", load=True)
print("updated dbfread %s" % table.date.strftime("%Y%m%d"))
for kind, recs in (("live", table.records), ("deleted", table.deleted)):
    for r in recs:
        vals = [shown(r[f.name], f.type == "M", "latin-1", str.strip) for f in table.fields]
        print("dbfread %s|%s" % (kind, "|".join(vals)))
