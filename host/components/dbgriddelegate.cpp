#include "dbgriddelegate.h"
#include "data/field.h"
#include "dbgrid.h"
#include "services/guard.h"
#include <QLineEdit>
#include <QPainter>

GridDelegate::GridDelegate(TDBGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

void GridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    if (!m_grid->OnDrawColumnCell)
        return;
    TGridDrawState state;
    state.row = index.row();
    state.selected = index == m_grid->currentIndex();
    state.focused = state.selected && m_grid->hasFocus();
    const QColor brush = state.selected ? option.palette.color(QPalette::Active, QPalette::Highlight)
                                        : m_grid->viewport()->palette().color(QPalette::Base);
    TCanvas canvas(painter, brush);
    painter->save();
    painter->setClipRect(option.rect);
    m_grid->setCanvas(&canvas);
    zav::guarded([&] {
        m_grid->OnDrawColumnCell(m_grid, option.rect, index.column(), m_grid->Column(index.column()), state);
    });
    m_grid->setCanvas(nullptr);
    painter->restore();
}

QWidget* GridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                    const QModelIndex& index) const {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QStringLiteral("InplaceEditor"));
    e->setFrame(false);
    connect(e, &QLineEdit::textEdited, m_grid, [grid = m_grid] { grid->startRowEdit(); });
    m_grid->editorOpened(e);
    if (TColumn* c = m_grid->Column(index.column()); c && c->Field() && c->Field()->Size() > 0)
        e->setMaxLength(c->Field()->Size());
    return e;
}
