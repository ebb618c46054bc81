#!/usr/bin/python3
"""Test helper: reads workbooks with openpyxl into JSON, and makes fixture workbooks."""
import datetime
import json
import sys
import zipfile

import openpyxl


def cell_value(value):
    if isinstance(value, datetime.datetime):
        return ["d", value.isoformat()]
    if isinstance(value, bool):
        return ["b", value]
    if isinstance(value, (int, float)):
        return ["n", value]
    return ["s", str(value)]


def dump(path):
    wb = openpyxl.load_workbook(path)
    out = {"sheets": wb.sheetnames, "cells": {}}
    for ws in wb.worksheets:
        cells = {}
        for row in ws.iter_rows():
            for cell in row:
                if cell.value is not None:
                    cells[cell.coordinate] = cell_value(cell.value)
        out["cells"][ws.title] = cells
    first = wb.worksheets[0]
    out["first"] = first.title
    out["row1Height"] = first.row_dimensions[1].height
    out["colAWidth"] = first.column_dimensions["A"].width
    out["dateFormat"] = first["A1"].number_format if first["A1"].is_date else ""
    print(json.dumps(out, ensure_ascii=False))


def make_rows(path, count, columns):
    wb = openpyxl.Workbook()
    ws = wb.active
    for r in range(1, count + 1):
        for c in range(1, columns + 1):
            ws.cell(row=r, column=c, value=r * 100 + c + 0.5)
    wb.save(path)


def make_styled(path):
    wb = openpyxl.Workbook()
    notes = wb.active
    notes.title = "Notes"
    notes["A1"] = "operator notes"
    notes["A1"].font = openpyxl.styles.Font(bold=True)
    data = wb.create_sheet("Data")
    data["A1"] = "shared text"
    data["B1"] = 3.25
    data["A2"] = datetime.datetime(2024, 5, 6, 7, 8, 9)
    data["A2"].number_format = "yyyy-mm-dd hh:mm"
    data["B2"].fill = openpyxl.styles.PatternFill("solid", fgColor="FFFF00")
    data.column_dimensions["B"].width = 30
    data.column_dimensions.group("A", "C", hidden=False)
    third = wb.create_sheet("Third")
    third["C3"] = "=1+2"
    # The sheet created second comes first, so the first sheet is not sheet1.xml.
    wb.move_sheet("Data", offset=-1)
    wb.active = 0
    wb.save(path)


PREFIXED_SHEET = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
    '<x:dimension ref="A1"/><x:cols><x:col min="1" max="3" width="9" customWidth="1"/></x:cols>'
    '<x:sheetData><x:row r="1" spans="1:2"><x:c r="A1"><x:v>1</x:v></x:c>'
    '<x:c r="B1"><x:v>2</x:v></x:c></x:row>'
    '<x:row r="3"><x:c r="B3" t="inlineStr"><x:is><x:t>three</x:t></x:is></x:c></x:row>'
    '<x:row r="9" ht="30" customHeight="1"/></x:sheetData></x:worksheet>')


def make_prefixed(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8"?>'
                   '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                   '<Default Extension="xml" ContentType="application/xml"/>'
                   '<Override PartName="/book/main.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
                   '<Override PartName="/book/pages/p.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
                   '</Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0" encoding="UTF-8"?>'
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   '<Relationship Id="a" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="/book/main.xml"/>'
                   '</Relationships>')
        z.writestr("book/main.xml",
                   '<?xml version="1.0" encoding="UTF-8"?>'
                   '<x:workbook xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                   'xmlns:rel="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
                   '<x:sheets><x:sheet name="Old &amp; odd" sheetId="4" rel:id="s1"/></x:sheets></x:workbook>')
        z.writestr("book/_rels/main.xml.rels",
                   '<?xml version="1.0" encoding="UTF-8"?>'
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   '<Relationship Id="s1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="pages/p.xml"/>'
                   '</Relationships>')
        z.writestr("book/pages/p.xml", PREFIXED_SHEET)


def make_huge(path):
    """A workbook whose sheet is larger than the engine accepts (mostly white space)."""
    make_rows(path, 1, 1)
    with zipfile.ZipFile(path) as z:
        parts = {name: z.read(name) for name in z.namelist()}
    sheet = parts["xl/worksheets/sheet1.xml"]
    at = sheet.index(b"</sheetData>")
    parts["xl/worksheets/sheet1.xml"] = sheet[:at] + b" " * (201 * 1024 * 1024) + sheet[at:]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data)


def main():
    command = sys.argv[1]
    if command == "dump":
        dump(sys.argv[2])
    elif command == "rows":
        make_rows(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif command == "styled":
        make_styled(sys.argv[2])
    elif command == "prefixed":
        make_prefixed(sys.argv[2])
    elif command == "huge":
        make_huge(sys.argv[2])
    elif command == "touch":
        wb = openpyxl.load_workbook(sys.argv[2])
        ws = wb.worksheets[0]
        ws.cell(row=ws.max_row + 1, column=1, value="added by hand")
        wb.save(sys.argv[2])
    else:
        sys.exit("unknown command " + command)


main()
