#!/usr/bin/python3
"""Test helper: reads workbooks with openpyxl into JSON, and makes fixture workbooks."""
import csv
import datetime
import glob
import html
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
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


REPORT_SHEET = "Лист 1"


def make_foreign(kind, path):
    """Workbooks as people leave them: references to the first sheet, odd names, chart sheets."""
    from openpyxl.chart import LineChart, Reference
    from openpyxl.workbook.defined_name import DefinedName
    wb = openpyxl.Workbook()
    data = wb.active
    data.title = "My data" if kind == "quoted" else "Data"
    for r in range(1, 6):
        data.cell(row=r, column=1, value=r * 1.5)
        data.cell(row=r, column=2, value=r * 10)
    ref = "'My data'" if kind == "quoted" else "Data"
    summary = wb.create_sheet(REPORT_SHEET.lower() if kind == "taken" else "Summary")
    summary["A1"] = "=SUM(%s!A1:A5)" % ref
    summary["A2"] = '="%s!A1 is text"' % ref
    summary["A3"] = "=%s!B2*2" % ref.lower()
    summary["A4"] = "=COUNT(%s:%s!B1:B2)" % (ref, ref)
    name = DefinedName("total", attr_text="%s!$A$1:$A$5" % ref)
    if hasattr(wb.defined_names, "append"):
        wb.defined_names.append(name)
    else:
        wb.defined_names["total"] = name
    summary["A5"] = "=SUM(total)"
    chart = LineChart()
    chart.add_data(Reference(data, min_col=2, min_row=1, max_row=5))
    chart.set_categories(Reference(data, min_col=1, min_row=1, max_row=5))
    if kind == "chartsheet":
        sheet = wb.create_chartsheet("Chart", 0)
        sheet.add_chart(chart)
    else:
        summary.add_chart(chart, "C1")
    if kind == "1904":
        wb.epoch = openpyxl.utils.datetime.CALENDAR_MAC_1904
        data["C1"] = datetime.datetime(2026, 3, 4, 5, 6, 7)
        data["C1"].number_format = "yyyy-mm-dd hh:mm:ss"
    wb.active = 0 if kind != "chartsheet" else 1
    wb.save(path)


def soffice():
    return shutil.which("soffice") or shutil.which("libreoffice")


def resave_with_libreoffice(path):
    """Opens the workbook in LibreOffice and saves it as .xlsx again, in place."""
    with tempfile.TemporaryDirectory() as home, tempfile.TemporaryDirectory() as out:
        subprocess.run([soffice(), "-env:UserInstallation=file://" + home, "--headless", "--convert-to",
                        "xlsx:Calc MS Excel 2007 XML", "--outdir", out, path],
                       check=True, capture_output=True, timeout=180)
        shutil.move(os.path.join(out, os.path.basename(path)), path)


def libreoffice_books(paths):
    """Every sheet of each workbook as LibreOffice computes and shows it, in one run of LibreOffice:
    path -> sheet name -> rows of text."""
    with tempfile.TemporaryDirectory() as home, tempfile.TemporaryDirectory() as out:
        copies = []
        for number, path in enumerate(paths):
            copies.append(os.path.join(out, "book%d.xlsx" % number))
            shutil.copy(path, copies[-1])
        subprocess.run([soffice(), "-env:UserInstallation=file://" + home, "--headless", "--convert-to",
                        "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
                        "--outdir", out] + copies, check=True, capture_output=True, timeout=300)
        books = {}
        for number, path in enumerate(paths):
            stem = "book%d-" % number
            sheets = {}
            for csv in glob.glob(os.path.join(out, stem + "*.csv")):
                with open(csv, encoding="utf-8") as f:
                    sheets[os.path.basename(csv)[len(stem):-4]] = [line.rstrip("\n") for line in f]
            books[path] = sheets
        return books


def as_reference(name):
    plain = re.fullmatch(r"[^\W\d][\w.]*", name) and not re.fullmatch(
        r"([A-Za-z]{1,3}\d+|[Rr]\d*([Cc]\d*)?|[Cc]\d*|TRUE|FALSE)", name, re.I)
    return name if plain else "'" + name.replace("'", "''") + "'"


def check_appended(before, after):
    """The first worksheet of after is before's with rows appended and, unless another sheet is
    called so, renamed to the report sheet; everything else is as it was, references included.
    Exit code 77 when only the LibreOffice part could not be checked."""
    faults = []
    wb0 = openpyxl.load_workbook(before)
    wb1 = openpyxl.load_workbook(after)
    first = wb0.worksheets[0].title
    taken = any(n.lower() == REPORT_SHEET.lower() for n in wb0.sheetnames if n != first)
    renamed = first if taken else REPORT_SHEET
    expected_names = [renamed if n == first else n for n in wb0.sheetnames]
    if wb1.sheetnames != expected_names:
        faults.append("sheets %s, expected %s" % (wb1.sheetnames, expected_names))
    old_ref, new_ref = as_reference(first) + "!", as_reference(renamed) + "!"
    def range_reference(name):
        return name + ":" + name if as_reference(name) == name else as_reference(name + ":" + name)

    old_3d, new_3d = range_reference(first) + "!", range_reference(renamed) + "!"

    def norm(value):
        if isinstance(value, str) and value.startswith("="):
            value = value.lower().replace(new_3d.lower(), old_ref.lower())
            value = value.replace(old_3d.lower(), old_ref.lower())
            return value.replace(new_ref.lower(), old_ref.lower())
        return value

    def stale(value):
        """A formula of after that still names the first sheet by its old name."""
        if renamed == first or not isinstance(value, str) or not value.startswith("="):
            return False
        code = re.sub(r'"[^"]*"', '""', value.lower())
        return re.search(r"(^|[^\w.'])" + re.escape(old_ref.lower()), code) is not None \
            or re.search(r"(^|[^\w.'])" + re.escape(old_3d.lower()), code) is not None

    for ws1 in wb1.worksheets:
        for row in ws1.iter_rows():
            for c in row:
                if stale(c.value):
                    faults.append("%s!%s still refers to %s: %s" % (ws1.title, c.coordinate, first, c.value))

    for ws0 in wb0.worksheets:
        name1 = renamed if ws0.title == first else ws0.title
        if name1 not in wb1.sheetnames:
            continue
        ws1 = wb1[name1]
        for row in ws0.iter_rows():
            for c0 in row:
                if c0.value is None:
                    continue
                c1 = ws1[c0.coordinate]
                if norm(c0.value) != norm(c1.value) or c0.number_format != c1.number_format \
                        or c0.font.b != c1.font.b or c0.fill.fgColor.rgb != c1.fill.fgColor.rgb:
                    faults.append("%s!%s: %r became %r" % (ws0.title, c0.coordinate, c0.value, c1.value))
        if ws0.title == first:
            if ws1.max_row <= ws0.max_row:
                faults.append("no rows appended to %s" % name1)
            year = datetime.datetime.now().year
            for row in ws1.iter_rows(min_row=ws0.max_row + 1):
                for c in row:
                    if isinstance(c.value, datetime.datetime) and abs(c.value.year - year) > 1:
                        faults.append("date %s in %s is not this year's" % (c.value, c.coordinate))

    def names(wb):
        dn = wb.defined_names
        items = dn.definedName if hasattr(dn, "definedName") else list(dn.values())
        return sorted((d.name, str(d.localSheetId), norm("=" + (d.attr_text or ""))) for d in items)

    if names(wb0) != names(wb1):
        faults.append("defined names %s became %s" % (names(wb0), names(wb1)))
    dn1 = wb1.defined_names
    for d in (dn1.definedName if hasattr(dn1, "definedName") else list(dn1.values())):
        if stale("=" + (d.attr_text or "")):
            faults.append("defined name %s still refers to %s: %s" % (d.name, first, d.attr_text))

    pivot_sheets = set()
    with zipfile.ZipFile(before) as z0, zipfile.ZipFile(after) as z1:
        workbook_xml = z0.read("xl/workbook.xml").decode("utf-8")
        rels = z0.read("xl/_rels/workbook.xml.rels").decode("utf-8")
        for name, rid in re.findall(r'<sheet [^>]*?name="([^"]*)"[^>]*?r:id="([^"]*)"', workbook_xml):
            target = re.search(r'Id="%s"[^>]*Target="([^"]*)"|Target="([^"]*)"[^>]*Id="%s"' % (rid, rid), rels)
            part = (target.group(1) or target.group(2)) if target else ""
            part_rels = "xl/" + os.path.dirname(part) + "/_rels/" + os.path.basename(part) + ".rels"
            if part_rels in z0.namelist() and "pivotTable" in z0.read(part_rels).decode("utf-8"):
                pivot_sheets.add(name)
        parts1 = set(z1.namelist())
        for part in parts1:
            if renamed == first or not (part.startswith("xl/charts/chart") or "pivotCacheDefinition" in part):
                continue
            text = z1.read(part).decode("utf-8", "replace")
            import html
            for formula in re.findall(r"<(?:\w+:)?f>([^<]*)<", text):
                if stale("=" + html.unescape(formula)):
                    faults.append("%s still refers to %s: %s" % (part, first, formula))
            for sheet in re.findall(r'<worksheetSource [^>]*sheet="([^"]*)"', text):
                if html.unescape(sheet).lower() == first.lower():
                    faults.append("%s still takes its data from %s" % (part, first))
        for part in z0.namelist():
            if part not in parts1:
                faults.append("part %s is gone" % part)
                continue
            old, new = z0.read(part), z1.read(part)
            if old == new or not part.startswith("xl/") or part.endswith("styles.xml") \
                    or part.endswith("workbook.xml") or "/worksheets/" in "/" + part:
                continue
            # Formulas write the name with each apostrophe doubled, and XML may escape it.
            text = html.unescape(old.decode("utf-8", "replace")).replace("''", "'")
            if first not in text and first.lower() not in text.lower():
                faults.append("part %s changed although it does not refer to %s" % (part, first))

    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        return 1
    if not soffice():
        print("LibreOffice is not installed: the second reader's check was skipped", file=sys.stderr)
        return 77
    books = libreoffice_books([before, after])
    # Rows as shown, without the empty fields that pad every row to the widest one.
    lo0 = {sheet: [row.rstrip(",") for row in rows] for sheet, rows in books[before].items()}
    lo1 = {sheet: [row.rstrip(",") for row in rows] for sheet, rows in books[after].items()}
    for sheet, rows0 in lo0.items():
        rows1 = lo1.get(renamed if sheet == first else sheet)
        if sheet in pivot_sheets:
            # A pivot table over whole columns of the report sheet takes the appended rows in
            # when LibreOffice refreshes it; that is the pivot doing its work.
            continue
        if rows1 is None:
            faults.append("LibreOffice does not find sheet %s after the append" % sheet)
        elif sheet == first:
            if rows1[:len(rows0)] != rows0:
                faults.append("LibreOffice shows %s differently before the appended rows" % sheet)
        elif rows1 != rows0:
            faults.append("LibreOffice computes %s differently: %s became %s" % (sheet, rows0[:6], rows1[:6]))
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


def crosscheck(folder):
    """Every workbook in folder, as openpyxl and as LibreOffice read it, holds the same values."""
    if not soffice():
        print("LibreOffice is not installed: the second reader's check was skipped", file=sys.stderr)
        return 77
    faults = []
    readable = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.xlsx"))):
        try:
            readable[path] = openpyxl.load_workbook(path, data_only=True)
        except Exception:
            continue  # damaged on purpose; the test itself covers it
    books = libreoffice_books(list(readable))
    for path, wb in readable.items():
        sheets = books[path]
        for ws in wb.worksheets:
            rows = sheets.get(ws.title)
            if rows is None:
                faults.append("%s: LibreOffice does not find sheet %s" % (path, ws.title))
                continue
            for row in ws.iter_rows():
                for c in row:
                    if c.value is None or isinstance(c.value, datetime.datetime):
                        continue
                    fields = next(csv.reader([rows[c.row - 1]])) if c.row <= len(rows) else []
                    shown = fields[c.column - 1] if c.column <= len(fields) else ""
                    if isinstance(c.value, (int, float)):
                        try:
                            ok = abs(float(shown) - c.value) <= 1e-6 * max(1.0, abs(c.value))
                        except ValueError:
                            ok = False
                    else:
                        ok = shown == str(c.value)
                    if not ok:
                        faults.append("%s %s!%s: openpyxl %r, LibreOffice %r" % (
                            os.path.basename(path), ws.title, c.coordinate, c.value, shown))
    for fault in faults[:20]:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


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
    elif command == "foreign":
        make_foreign(sys.argv[2], sys.argv[3])
        if len(sys.argv) > 4 and sys.argv[4] == "libreoffice":
            if not soffice():
                sys.exit(77)
            resave_with_libreoffice(sys.argv[3])
    elif command == "check-appended":
        sys.exit(check_appended(sys.argv[2], sys.argv[3]))
    elif command == "crosscheck":
        sys.exit(crosscheck(sys.argv[2]))
    elif command == "touch":
        wb = openpyxl.load_workbook(sys.argv[2])
        ws = wb.worksheets[0]
        ws.cell(row=ws.max_row + 1, column=1, value="added by hand")
        wb.save(sys.argv[2])
    else:
        sys.exit("unknown command " + command)


main()
