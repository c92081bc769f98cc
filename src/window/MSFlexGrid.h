#pragma once

#include <QTableWidget>

namespace window {

// The site list grid with the grid control's own model: row 0 is the fixed header row inside the
// grid, Rows counts it, TextMatrix(r, c) addresses any cell, Row/Col is the current cell, and
// cell geometry is given in twips relative to the grid.
class MSFlexGrid final : public QTableWidget {
    Q_OBJECT
public:
    explicit MSFlexGrid(QWidget* parent = nullptr);

    int Rows() const { return rowCount(); }
    void setRows(int rows);
    int Cols() const { return columnCount(); }
    void setCols(int cols);
    int FixedRows() const { return 1; }

    QString TextMatrix(int row, int col) const;
    void setTextMatrix(int row, int col, const QString& text);

    int Row() const { return m_row; }
    int Col() const { return m_col; }
    void setRow(int row);
    void setCol(int col);
    // The cell under the mouse at the last click.
    int MouseRow() const { return m_mouseRow; }
    int MouseCol() const { return m_mouseCol; }

    int ColWidth(int col) const;          // twips
    void setColWidth(int col, int twips); // twips
    // Centres the text of every cell of the fixed row.
    void centreFixedRow();

    // Geometry of the current cell in twips, relative to the grid.
    int CellLeft() const;
    int CellTop() const;
    int CellWidth() const;
    int CellHeight() const;

    // Empties every cell, keeping the shape of the grid.
    void Clear();

signals:
    // A click on a cell; Row and Col follow the click unless it was on the fixed row.
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QTableWidgetItem* itemAt(int row, int col);
    void styleFixedRow();
    int m_row = 1;
    int m_col = 0;
    int m_mouseRow = -1;
    int m_mouseCol = -1;
};

} // namespace window
