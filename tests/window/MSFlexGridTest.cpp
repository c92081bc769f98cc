#include "window/MSFlexGrid.h"

#include <QSignalSpy>
#include <QTest>

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using window::MSFlexGrid;

namespace {

TEST(MSFlexGrid, RowZeroIsTheFixedRowInsideTheGrid) {
    MSFlexGrid grid;
    grid.setCols(7);
    grid.setRows(2);
    EXPECT_EQ(grid.Rows(), 2);
    grid.setTextMatrix(0, 1, u"网站名称"_s);
    grid.setTextMatrix(1, 1, u"shop"_s);
    EXPECT_EQ(grid.TextMatrix(0, 1), u"网站名称"_s);
    EXPECT_EQ(grid.TextMatrix(1, 1), u"shop"_s);
    EXPECT_EQ(grid.TextMatrix(1, 2), QString());
    grid.setTextMatrix(5, 1, u"outside"_s); // beyond Rows: ignored
    EXPECT_EQ(grid.Rows(), 2);
    grid.setRows(grid.Rows() + 1);
    EXPECT_EQ(grid.TextMatrix(1, 1), u"shop"_s) << "growing keeps the cells";
    grid.Clear();
    EXPECT_EQ(grid.TextMatrix(0, 1), QString());
    EXPECT_EQ(grid.Rows(), 3) << "clearing keeps the shape";
}

TEST(MSFlexGrid, ColumnWidthsAreInTwips) {
    MSFlexGrid grid;
    grid.setCols(7);
    grid.setColWidth(1, 1800);
    EXPECT_EQ(grid.columnWidth(1), 120);
    EXPECT_EQ(grid.ColWidth(1), 1800);
}

TEST(MSFlexGrid, ClickMovesTheCurrentCellButNotOntoTheFixedRow) {
    MSFlexGrid grid;
    grid.setCols(3);
    grid.setRows(4);
    grid.resize(300, 200);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    QSignalSpy clicks(&grid, &MSFlexGrid::Click);
    const QRect cell = grid.visualRect(grid.model()->index(2, 1));
    ASSERT_TRUE(cell.isValid());
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(grid.Col(), 1);
    EXPECT_EQ(grid.CellWidth(), grid.columnWidth(1) * 15);
    EXPECT_EQ(grid.CellHeight(), 240) << "the grid's rows are 240 twips high, whatever the font";
    const QRect header = grid.visualRect(grid.model()->index(0, 2));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, header.center());
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_EQ(grid.MouseRow(), 0);
    EXPECT_EQ(grid.Row(), 2) << "the fixed row never becomes current";
}

} // namespace
