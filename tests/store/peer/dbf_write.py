#!/usr/bin/python3
"""Writes a FoxPro table with python3-dbf for our engine to read:
    dbf_write.py TABLE.DBF"""
import datetime
import sys

import dbf

t = dbf.Table(sys.argv[1], "NAME C(20); SENT L; DAY D; PAGES N(3,0); BODY M",
              dbf_type="fp", codepage="cp1252")
t.open(dbf.READ_WRITE)
t.append(("Alpha", True, datetime.date(1999, 12, 31), 7, "first memo\r\nline two"))
t.append(("B\xe9ta", False, None, 0, ""))
t.append(("Gamma", None, datetime.date(2026, 12, 11), 123, "x" * 3000))
dbf.delete(t[1])
t.close()
