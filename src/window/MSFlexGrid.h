#pragma once

#include <QAbstractTableModel>
#include <QTableView>

#include <vector>

namespace window {

// The grid's cells: texts by row and column, row 0 the fixed header row.
class FlexGridModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : m_rows; }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : m_cols; }
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void resize(int rows, int cols);
    const QString& text(int row, int col) const { return m_cells[static_cast<size_t>(row * m_cols + col)]; }
    void setText(int row, int col, const QString& text);
    void clearTexts();
    void setFixedRowCentred(bool centred) { m_centred = centred; }
    // While a batch is open, changes are not announced one by one; closing it resets the views once.
    void beginBatch();
    void endBatch();

private:
    int m_rows = 0;
    int m_cols = 0;
    std::vector<QString> m_cells;
    bool m_centred = true;
    int m_batch = 0;
};

// The site list grid with the grid control's own model: row 0 is the fixed header row inside the
// grid, Rows counts it, TextMatrix(r, c) addresses any cell, Row/Col is the current cell, and
// cell geometry is given in twips relative to the grid.
class MSFlexGrid final : public QTableView {
    Q_OBJECT
public:
    explicit MSFlexGrid(QWidget* parent = nullptr);

    int Rows() const { return m_model.rowCount(); }
    void setRows(int rows);
    int Cols() const { return m_model.columnCount(); }
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

    // Many changes at once (a whole refresh): the view is brought up to date once, at the end.
    void beginBatch() { m_model.beginBatch(); }
    void endBatch();

signals:
    // A click on a cell; Row and Col follow the click unless it was on the fixed row.
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    FlexGridModel m_model;
    std::vector<int> m_widths; // pixels, kept across model resets
    int m_row = 1;
    int m_col = 0;
    int m_mouseRow = -1;
    int m_mouseCol = -1;
};

} // namespace window
