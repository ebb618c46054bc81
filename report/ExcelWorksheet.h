#pragma once

#include <memory>

class ExcelRange;
class QString;

// A worksheet of the spreadsheet automation model.
class ExcelWorksheet
{
public:
    virtual ~ExcelWorksheet() = default;

    // "Name".
    virtual void setName(const QString &name) = 0;
    // "Cells": every cell of the sheet.
    virtual std::unique_ptr<ExcelRange> cells() = 0;
    // "Cells(QVariant,QVariant)": one cell, row and column counted from 1.
    virtual std::unique_ptr<ExcelRange> cell(int row, int column) = 0;
};
