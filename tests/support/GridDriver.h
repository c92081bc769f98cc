#pragma once

// The site list driven as the operator drives it, for tests and benchmarks alike: a row is found
// by the name it shows, a cell is clicked in its middle after scrolling it into view.

#include "window/MSFlexGrid.h"

#include <QString>
#include <QTest>

namespace testing_support {

// The list row showing exactly this site name (column 1); -1 when none does.
inline int rowOf(const window::MSFlexGrid& grid, const QString& name) {
    for (int r = 1; r < grid.Rows(); ++r)
        if (grid.TextMatrix(r, 1) == name)
            return r;
    return -1;
}

// A left click on the middle of a cell; false when the cell cannot be shown.
inline bool clickCell(window::MSFlexGrid& grid, int row, int col) {
    const QModelIndex cell = grid.model()->index(row, col);
    grid.scrollTo(cell);
    const QRect rect = grid.visualRect(cell);
    if (!rect.isValid())
        return false;
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, rect.center());
    return true;
}

} // namespace testing_support
