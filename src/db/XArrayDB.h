#pragma once

#include "Variant.h"

#include <string>
#include <vector>

namespace zenta {

// A two-dimensional array of variant cells with bounds set by re-dimensioning: dimension 1 is
// rows, dimension 2 columns. A never-dimensioned array has no rows (count 0) and bounds 0/-1.
class XArrayDB {
  public:
    void ReDim(long lowerRow, long upperRow, long lowerCol, long upperCol);
    void Clear() { ReDim(0, -1, 0, -1); }

    long Count(int dimension) const; // rows (1) or columns (2)
    long LowerBound(int dimension) const;
    long UpperBound(int dimension) const;
    bool InBounds(long row, long col) const;

    // Reading outside the bounds gives Empty; writing outside does nothing (and says so).
    const Variant& Value(long row, long col) const;
    bool SetValue(long row, long col, Variant value);
    Variant& Cell(long row, long col); // caller checks InBounds

    // Removes one row; the rows below move up.
    void DeleteRows(long row, long count = 1);
    // First row from `startRow` whose cell in `col` equals `value` (text compared without
    // regard to case); LowerBound(1) - 1 when there is none.
    long Find(long startRow, long col, const Variant& value) const;

    // Appends a row (used while filling from a cursor).
    void AppendRow(std::vector<Variant> row);
    // Takes over whole rows at once: `cells` holds rows of `columns` cells each, from row 0.
    void Assign(long columns, std::vector<Variant>&& cells);

  private:
    long lowerRow_ = 0, lowerCol_ = 0;
    long cols_ = 0;
    std::vector<Variant> cells_; // row-major
};

} // namespace zenta
