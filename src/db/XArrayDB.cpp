#include "XArrayDB.h"

#include "Common.h"
#include "Text.h"

#include <algorithm>

namespace zenta {

void XArrayDB::ReDim(long lowerRow, long upperRow, long lowerCol, long upperCol) {
    lowerRow_ = lowerRow;
    lowerCol_ = lowerCol;
    cols_ = upperCol >= lowerCol ? upperCol - lowerCol + 1 : 0;
    const long rows = upperRow >= lowerRow ? upperRow - lowerRow + 1 : 0;
    cells_.assign(static_cast<size_t>(rows * cols_), Variant());
}

long XArrayDB::Count(int dimension) const {
    if (dimension == 2)
        return cols_;
    return cols_ == 0 ? 0 : static_cast<long>(cells_.size()) / cols_;
}

long XArrayDB::LowerBound(int dimension) const {
    return dimension == 2 ? lowerCol_ : lowerRow_;
}

long XArrayDB::UpperBound(int dimension) const {
    return LowerBound(dimension) + Count(dimension) - 1;
}

bool XArrayDB::InBounds(long row, long col) const {
    return row >= lowerRow_ && row < lowerRow_ + Count(1) && col >= lowerCol_ &&
           col < lowerCol_ + cols_;
}

const Variant& XArrayDB::Value(long row, long col) const {
    static const Variant empty;
    if (!InBounds(row, col))
        return empty;
    return cells_[static_cast<size_t>((row - lowerRow_) * cols_ + (col - lowerCol_))];
}

Variant& XArrayDB::Cell(long row, long col) {
    return cells_[static_cast<size_t>((row - lowerRow_) * cols_ + (col - lowerCol_))];
}

bool XArrayDB::SetValue(long row, long col, Variant value) {
    if (!InBounds(row, col))
        return false;
    Cell(row, col) = std::move(value);
    return true;
}

void XArrayDB::DeleteRows(long row, long count) {
    if (count <= 0 || row < lowerRow_ || row >= lowerRow_ + Count(1))
        return;
    const long last = std::min(row + count, lowerRow_ + Count(1));
    auto first = cells_.begin() + (row - lowerRow_) * cols_;
    cells_.erase(first, first + (last - row) * cols_);
}

long XArrayDB::Find(long startRow, long col, const Variant& value) const {
    const std::string want = AsciiLowerCase(value.ToString());
    for (long r = std::max(startRow, lowerRow_); r <= UpperBound(1); ++r) {
        const Variant& v = Value(r, col);
        if (v.IsText() || value.IsText()) {
            if (AsciiLowerCase(v.ToString()) == want && !v.IsNull())
                return r;
        } else if (v == value) {
            return r;
        }
    }
    return lowerRow_ - 1;
}

void XArrayDB::Assign(long columns, std::vector<Variant>&& cells) {
    lowerRow_ = 0;
    lowerCol_ = 0;
    cols_ = columns;
    cells_ = std::move(cells);
    if (cols_ == 0)
        cells_.clear();
}

void XArrayDB::AppendRow(std::vector<Variant> row) {
    if (cols_ == 0) {
        cols_ = static_cast<long>(row.size());
    }
    row.resize(static_cast<size_t>(cols_));
    for (auto& v : row)
        cells_.push_back(std::move(v));
}

} // namespace zenta
