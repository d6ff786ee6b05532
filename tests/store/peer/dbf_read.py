#!/usr/bin/python3
"""Reads a table with python3-dbf and with dbfread and prints what each saw:
    dbf_read.py TABLE.DBF
Lines: "<reader> N D|field|..." (D "*" when deleted, memo fields as hex of their bytes)."""
import sys

import dbf
import dbfread

path = sys.argv[1]

t = dbf.Table(path, codepage="cp1252")
t.open(dbf.READ_ONLY)
names = dbf.field_names(t)
for n, r in enumerate(t, 1):
    out = []
    for name in names:
        v = r[name]
        ftype = t.field_info(name)[0]
        if ftype == dbf.FieldType.MEMO:
            v = (v or "").encode("cp1252").hex()
        elif v is None:
            v = ""
        elif isinstance(v, bool):
            v = "T" if v else "F"
        elif hasattr(v, "strftime"):
            v = v.strftime("%Y%m%d")
        else:
            v = str(v).rstrip() if isinstance(v, str) else str(v)
        out.append(v)
    print("dbf %d %s|%s" % (n, "*" if dbf.is_deleted(r) else " ", "|".join(out)))
print("updated dbf %s" % t.last_update.strftime("%Y%m%d"))
t.close()

# dbfread decodes with latin-1 so that every byte maps to one character and back.
table = dbfread.DBF(path, encoding="latin-1", char_decode_errors="strict", load=True)
print("updated dbfread %s" % table.date.strftime("%Y%m%d"))
for kind, recs in (("live", table.records), ("deleted", table.deleted)):
    for r in recs:
        vals = []
        for f in table.fields:
            v = r[f.name]
            if f.type == "M":
                v = (v or "").encode("latin-1").hex()
            elif v is None:
                v = ""
            elif isinstance(v, bool):
                v = "T" if v else "F"
            elif hasattr(v, "strftime"):
                v = v.strftime("%Y%m%d")
            else:
                v = str(v).strip()
            vals.append(v)
        print("dbfread %s|%s" % (kind, "|".join(vals)))
