#include "window/MSFlexGrid.h"

#include "window/Twips.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPalette>

namespace window {

namespace {
// The grid's default row height: 240 twips.
constexpr int RowHeightTwips = 240;
} // namespace

QVariant FlexGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::TextAlignmentRole:
        if (index.row() == 0 && m_centred)
            return int(Qt::AlignCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::BackgroundRole:
        if (index.row() == 0)
            return QApplication::palette().button();
        return {};
    default:
        return {};
    }
}

Qt::ItemFlags FlexGridModel::flags(const QModelIndex&) const {
    return Qt::ItemIsEnabled;
}

void FlexGridModel::resize(int rows, int cols) {
    rows = std::max(rows, 1);
    cols = std::max(cols, 1);
    if (rows == m_rows && cols == m_cols)
        return;
    const bool announceRows = m_batch == 0 && cols == m_cols && rows > m_rows;
    if (announceRows)
        beginInsertRows({}, m_rows, rows - 1); // rows added at the end, as a refresh adds them
    else if (m_batch == 0)
        beginResetModel();
    if (cols == m_cols) {
        // Row-major cells: growing or shrinking by rows keeps every other cell where it is.
        m_cells.resize(static_cast<size_t>(rows * cols));
    } else {
        std::vector<QString> cells(static_cast<size_t>(rows * cols));
        for (int r = 0; r < std::min(rows, m_rows); ++r)
            for (int c = 0; c < std::min(cols, m_cols); ++c)
                cells[static_cast<size_t>(r * cols + c)] =
                    std::move(m_cells[static_cast<size_t>(r * m_cols + c)]);
        m_cells = std::move(cells);
    }
    m_rows = rows;
    m_cols = cols;
    if (announceRows)
        endInsertRows();
    else if (m_batch == 0)
        endResetModel();
}

void FlexGridModel::setText(int row, int col, const QString& text) {
    if (row < 0 || row >= m_rows || col < 0 || col >= m_cols)
        return;
    m_cells[static_cast<size_t>(row * m_cols + col)] = text;
    if (m_batch == 0)
        emit dataChanged(index(row, col), index(row, col), {Qt::DisplayRole});
}

void FlexGridModel::clearTexts() {
    for (QString& s : m_cells)
        s.clear();
    if (m_batch == 0 && m_rows > 0)
        emit dataChanged(index(0, 0), index(m_rows - 1, m_cols - 1), {Qt::DisplayRole});
}

void FlexGridModel::beginBatch() {
    if (m_batch++ == 0)
        beginResetModel();
}

void FlexGridModel::endBatch() {
    if (m_batch > 0 && --m_batch == 0)
        endResetModel();
}

MSFlexGrid::MSFlexGrid(QWidget* parent) : QTableView(parent) {
    m_model.resize(2, 2);
    setModel(&m_model);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1); // before the default size, which it would clamp
    verticalHeader()->setDefaultSectionSize(twips(RowHeightTwips));
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(1);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::NoSelection);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false); // Tab leaves the grid for the next control
    m_widths.assign(2, horizontalHeader()->defaultSectionSize());
}

void MSFlexGrid::setRows(int rows) {
    m_model.resize(rows, Cols());
    m_row = std::clamp(m_row, 1, std::max(1, Rows() - 1));
}

void MSFlexGrid::setCols(int cols) {
    m_model.resize(Rows(), cols);
    m_widths.resize(static_cast<size_t>(Cols()), horizontalHeader()->defaultSectionSize());
    for (int c = 0; c < Cols(); ++c)
        setColumnWidth(c, m_widths[static_cast<size_t>(c)]);
    m_col = std::clamp(m_col, 0, Cols() - 1);
}

QString MSFlexGrid::TextMatrix(int row, int col) const {
    if (row < 0 || row >= Rows() || col < 0 || col >= Cols())
        return {};
    return m_model.text(row, col);
}

void MSFlexGrid::setTextMatrix(int row, int col, const QString& text) {
    m_model.setText(row, col, text);
}

void MSFlexGrid::setRow(int row) {
    if (row >= 0 && row < Rows())
        m_row = row;
}

void MSFlexGrid::setCol(int col) {
    if (col >= 0 && col < Cols())
        m_col = col;
}

int MSFlexGrid::ColWidth(int col) const {
    return toTwips(columnWidth(col));
}

void MSFlexGrid::setColWidth(int col, int t) {
    if (col < 0 || col >= Cols())
        return;
    m_widths[static_cast<size_t>(col)] = twips(t);
    setColumnWidth(col, twips(t));
}

void MSFlexGrid::centreFixedRow() {
    m_model.setFixedRowCentred(true);
}

void MSFlexGrid::endBatch() {
    m_model.endBatch();
    // A reset forgets the column widths: put them back.
    for (int c = 0; c < Cols(); ++c)
        setColumnWidth(c, m_widths[static_cast<size_t>(c)]);
}

int MSFlexGrid::CellLeft() const {
    return toTwips(columnViewportPosition(m_col) + viewport()->x());
}
int MSFlexGrid::CellTop() const {
    return toTwips(rowViewportPosition(m_row) + viewport()->y());
}
int MSFlexGrid::CellWidth() const {
    return toTwips(columnWidth(m_col));
}
int MSFlexGrid::CellHeight() const {
    return toTwips(rowHeight(m_row));
}

void MSFlexGrid::Clear() {
    m_model.clearTexts();
}

void MSFlexGrid::mousePressEvent(QMouseEvent* event) {
    QTableView::mousePressEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    m_mouseRow = rowAt(at.y());
    m_mouseCol = columnAt(at.x());
    if (m_mouseRow < 0 || m_mouseCol < 0)
        return;
    if (m_mouseRow >= FixedRows()) {
        m_row = m_mouseRow;
        m_col = m_mouseCol;
    }
    emit Click();
}

} // namespace window
