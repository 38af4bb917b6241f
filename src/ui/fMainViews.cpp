#include "ui/fMainViews.h"

#include <QListWidget>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace probrix {

QSize TViewportWideDelegate::sizeHint(const QStyleOptionViewItem& Option,
                                      const QModelIndex& Index) const {
  return QSize(0, QStyledItemDelegate::sizeHint(Option, Index).height());
}

TSearchProtocolView::TSearchProtocolView(QWidget* Parent) : QAbstractItemView(Parent) {
  setSelectionMode(SingleSelection);
  setEditTriggers(NoEditTriggers);
  setTextElideMode(Qt::ElideMiddle);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

int TSearchProtocolView::LineCount() const {
  return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int TSearchProtocolView::LineHeight() const { return fontMetrics().height() + 4; }

int TSearchProtocolView::VisibleLines() const {
  return std::max(1, viewport()->height() / LineHeight());
}

int TSearchProtocolView::FirstVisibleLine() const { return verticalScrollBar()->value(); }

int TSearchProtocolView::verticalOffset() const { return FirstVisibleLine() * LineHeight(); }

QRect TSearchProtocolView::visualRect(const QModelIndex& Index) const {
  if (!Index.isValid() || Index.parent() != rootIndex()) return {};
  const int h = LineHeight();
  return QRect(0, (Index.row() - FirstVisibleLine()) * h, viewport()->width(), h);
}

void TSearchProtocolView::scrollTo(const QModelIndex& Index, ScrollHint Hint) {
  if (!Index.isValid()) return;
  const int row = Index.row(), first = FirstVisibleLine(), shown = VisibleLines();
  int top = first;
  switch (Hint) {
    case EnsureVisible:
      if (row < first) {
        top = row;
      } else if (row >= first + shown) {
        top = row - shown + 1;
      }
      break;
    case PositionAtTop:
      top = row;
      break;
    case PositionAtBottom:
      top = row - shown + 1;
      break;
    case PositionAtCenter:
      top = row - shown / 2;
      break;
  }
  verticalScrollBar()->setValue(top);  // the range clamps it
}

QModelIndex TSearchProtocolView::indexAt(const QPoint& Point) const {
  if (Point.y() < 0 || Point.x() < 0 || Point.x() >= viewport()->width()) return {};
  const int row = FirstVisibleLine() + Point.y() / LineHeight();
  return row < LineCount() ? model()->index(row, 0, rootIndex()) : QModelIndex();
}

QModelIndex TSearchProtocolView::moveCursor(CursorAction Action, Qt::KeyboardModifiers) {
  const int last = LineCount() - 1;
  if (last < 0) return {};
  int row = currentIndex().isValid() ? currentIndex().row() : 0;
  switch (Action) {
    case MoveUp:
    case MovePrevious:
      --row;
      break;
    case MoveDown:
    case MoveNext:
      ++row;
      break;
    case MovePageUp:
      row -= VisibleLines();
      break;
    case MovePageDown:
      row += VisibleLines();
      break;
    case MoveHome:
      row = 0;
      break;
    case MoveEnd:
      row = last;
      break;
    default:
      break;
  }
  return model()->index(std::clamp(row, 0, last), 0, rootIndex());
}

void TSearchProtocolView::setSelection(const QRect& Rect,
                                       QItemSelectionModel::SelectionFlags Flags) {
  const QRect r = Rect.normalized();
  const int h = LineHeight(), first = FirstVisibleLine();
  const int top = std::max(0, first + std::max(0, r.top()) / h);
  const int bottom = std::min(LineCount() - 1, first + std::max(0, r.bottom()) / h);
  QItemSelection selection;
  if (top <= bottom)
    selection.select(model()->index(top, 0, rootIndex()), model()->index(bottom, 0, rootIndex()));
  selectionModel()->select(selection, Flags);
}

QRegion TSearchProtocolView::visualRegionForSelection(const QItemSelection& Selection) const {
  QRegion region;
  const int h = LineHeight(), first = FirstVisibleLine(), last = first + VisibleLines();
  for (const QItemSelectionRange& range : Selection) {
    const int top = std::max(range.top(), first), bottom = std::min(range.bottom(), last);
    if (top <= bottom)
      region += QRect(0, (top - first) * h, viewport()->width(), (bottom - top + 1) * h);
  }
  return region;
}

void TSearchProtocolView::updateGeometries() {
  // The scroll bar counts lines: its last position shows the last line whole at the bottom.
  const int shown = VisibleLines();
  QScrollBar* bar = verticalScrollBar();
  bar->setSingleStep(1);
  bar->setPageStep(shown);
  bar->setRange(0, std::max(0, LineCount() - shown));
  QAbstractItemView::updateGeometries();
}

void TSearchProtocolView::rowsInserted(const QModelIndex& Parent, int Start, int End) {
  QAbstractItemView::rowsInserted(Parent, Start, End);
  updateGeometries();
  if (Start <= FirstVisibleLine() + VisibleLines()) viewport()->update();
}

void TSearchProtocolView::scrollContentsBy(int, int) { viewport()->update(); }

void TSearchProtocolView::paintEvent(QPaintEvent*) {
  if (model() == nullptr) return;
  QPainter painter(viewport());
  QStyleOptionViewItem base;
  initViewItemOption(&base);
  const int h = LineHeight(), first = FirstVisibleLine();
  const int last = std::min(LineCount() - 1, first + viewport()->height() / h);
  const QModelIndex current = currentIndex();
  for (int row = first; row <= last; ++row) {
    const QModelIndex index = model()->index(row, 0, rootIndex());
    QStyleOptionViewItem option = base;
    option.rect = QRect(0, (row - first) * h, viewport()->width(), h);
    if (selectionModel()->isSelected(index)) option.state |= QStyle::State_Selected;
    if (index == current && hasFocus()) option.state |= QStyle::State_HasFocus;
    itemDelegateForIndex(index)->paint(&painter, option, index);
  }
}

TCheckItems CheckItems(const QListWidget* List) {
  TCheckItems items;
  items.reserve(static_cast<std::size_t>(List->count()));
  for (int i = 0; i < List->count(); ++i) {
    const QListWidgetItem* item = List->item(i);
    items.emplace_back(item->text().toStdString(), item->checkState() == Qt::Checked);
  }
  return items;
}

void AddCheckItem(QListWidget* List, const std::string& Text, bool Checked) {
  auto* item = new QListWidgetItem(QString::fromStdString(Text), List);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(Checked ? Qt::Checked : Qt::Unchecked);
  item->setToolTip(item->text());
}

void ApplyCheckItems(QListWidget* List, const TCheckItems& Items) {
  for (int i = 0; i < List->count() && i < static_cast<int>(Items.size()); ++i)
    List->item(i)->setCheckState(Items[static_cast<std::size_t>(i)].second ? Qt::Checked
                                                                           : Qt::Unchecked);
}

std::vector<std::string> CheckedTexts(const QListWidget* List) {
  std::vector<std::string> texts;
  for (int i = 0; i < List->count(); ++i)
    if (List->item(i)->checkState() == Qt::Checked)
      texts.push_back(List->item(i)->text().toStdString());
  return texts;
}

}  // namespace probrix
