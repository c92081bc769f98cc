#include "window/MSFlexGrid.h"

#include "window/Twips.h"

#include <QHeaderView>
#include <QMouseEvent>

namespace window {

namespace {
// The grid's default row height: 240 twips.
constexpr int RowHeightTwips = 240;
} // namespace

MSFlexGrid::MSFlexGrid(QWidget* parent) : QTableWidget(2, 2, parent) {
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(twips(RowHeightTwips));
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setMinimumSectionSize(1);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::NoSelection);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false); // Tab leaves the grid for the next control
    styleFixedRow();
}

void MSFlexGrid::setRows(int rows) {
    setRowCount(std::max(rows, 1));
    styleFixedRow();
    m_row = std::clamp(m_row, 1, std::max(1, rowCount() - 1));
}

void MSFlexGrid::setCols(int cols) {
    setColumnCount(std::max(cols, 1));
    styleFixedRow();
    m_col = std::clamp(m_col, 0, columnCount() - 1);
}

QTableWidgetItem* MSFlexGrid::itemAt(int row, int col) {
    QTableWidgetItem* it = item(row, col);
    if (!it) {
        it = new QTableWidgetItem;
        it->setFlags(Qt::ItemIsEnabled);
        if (row == 0) {
            it->setBackground(palette().button());
            it->setTextAlignment(Qt::AlignCenter);
        }
        setItem(row, col, it);
    }
    return it;
}

void MSFlexGrid::styleFixedRow() {
    if (rowCount() == 0)
        return;
    for (int c = 0; c < columnCount(); ++c)
        itemAt(0, c);
}

QString MSFlexGrid::TextMatrix(int row, int col) const {
    const QTableWidgetItem* it = item(row, col);
    return it ? it->text() : QString();
}

void MSFlexGrid::setTextMatrix(int row, int col, const QString& text) {
    if (row < 0 || row >= rowCount() || col < 0 || col >= columnCount())
        return;
    itemAt(row, col)->setText(text);
}

void MSFlexGrid::setRow(int row) {
    if (row >= 0 && row < rowCount())
        m_row = row;
}

void MSFlexGrid::setCol(int col) {
    if (col >= 0 && col < columnCount())
        m_col = col;
}

int MSFlexGrid::ColWidth(int col) const {
    return toTwips(columnWidth(col));
}

void MSFlexGrid::setColWidth(int col, int t) {
    setColumnWidth(col, twips(t));
}

void MSFlexGrid::centreFixedRow() {
    for (int c = 0; c < columnCount(); ++c)
        itemAt(0, c)->setTextAlignment(Qt::AlignCenter);
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
    for (int r = 0; r < rowCount(); ++r)
        for (int c = 0; c < columnCount(); ++c)
            if (QTableWidgetItem* it = item(r, c))
                it->setText(QString());
}

void MSFlexGrid::mousePressEvent(QMouseEvent* event) {
    QTableWidget::mousePressEvent(event);
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
