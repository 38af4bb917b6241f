#pragma once

// Views of the main window that Qt does not have ready-made: check-list items as wide as their
// list (a long port path is elided in the middle instead of cut at its end), and the search
// protocol list, whose lines are all one height so that adding, showing and following the last
// one costs the same with 10 lines or 100,000. Also the check lists' items as the settings and
// the plan read and write them.

#include <QAbstractItemView>
#include <QStyledItemDelegate>
#include <string>
#include <vector>

#include "search/uSearchParams.h"

class QListWidget;

namespace probrix {

// Items claim no width of their own: the list gives each the width of its viewport and the
// text is elided there in the list's elide mode (no horizontal scrolling).
class TViewportWideDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
};

// A list of one-line items of equal height, scrolled line by line; each line is elided in the
// middle to the view's width, so its start (the time) and its end (the outcome) stay visible.
class TSearchProtocolView : public QAbstractItemView {
  Q_OBJECT

 public:
  explicit TSearchProtocolView(QWidget* Parent = nullptr);

  int LineHeight() const;
  // Lines that fit the viewport whole (at least one).
  int VisibleLines() const;
  // The first line shown.
  int FirstVisibleLine() const;

  QRect visualRect(const QModelIndex& Index) const override;
  void scrollTo(const QModelIndex& Index, ScrollHint Hint = EnsureVisible) override;
  QModelIndex indexAt(const QPoint& Point) const override;

 protected:
  QModelIndex moveCursor(CursorAction Action, Qt::KeyboardModifiers Modifiers) override;
  int horizontalOffset() const override { return 0; }
  int verticalOffset() const override;
  bool isIndexHidden(const QModelIndex&) const override { return false; }
  void setSelection(const QRect& Rect, QItemSelectionModel::SelectionFlags Flags) override;
  QRegion visualRegionForSelection(const QItemSelection& Selection) const override;
  void updateGeometries() override;
  void rowsInserted(const QModelIndex& Parent, int Start, int End) override;
  void scrollContentsBy(int Dx, int Dy) override;
  void paintEvent(QPaintEvent* Event) override;

 private:
  int LineCount() const;
};

// The items of a check list (text and whether it is checked), in their order.
TCheckItems CheckItems(const QListWidget* List);
// A check list's item; its tool tip holds the whole text.
void AddCheckItem(QListWidget* List, const std::string& Text, bool Checked);
// The check states of Items, in order, to the list's first items.
void ApplyCheckItems(QListWidget* List, const TCheckItems& Items);
// The texts of the checked items, in order.
std::vector<std::string> CheckedTexts(const QListWidget* List);

}  // namespace probrix
