#include "ui/fMainModels.h"

#include <QLocale>
#include <QStringList>
#include <algorithm>
#include <numeric>

#include "search/uSearchReport.h"

namespace probrix {

namespace {

struct TFieldDef {
  const char* Name;
  const char* Title;
  int Width;
};

constexpr TFieldDef Fields[TFoundDevicesModel::FieldCount] = {
    {"Address", "Адрес", 47},
    {"ConnectionString", "Подключение", 94},
    {"ConnecionType", "Тип подключения", 0},
    {"Protocol", "Протокол", 0},
    {"DeviceType", "Тип прибора", 80},
    {"SerialNum", "Сер.номер", 0},
    {"SoftVersion", "Версия прошивки", 0},
};

bool ValidField(int Field) { return Field >= 0 && Field < TFoundDevicesModel::FieldCount; }

QString CellText(const TFoundDeviceRow& R, int Field) {
  switch (Field) {
    case TFoundDevicesModel::fldAddress:
      return QString::number(R.Address);
    case TFoundDevicesModel::fldConnectionString:
      return QString::fromStdString(R.ConnectionString);
    case TFoundDevicesModel::fldConnecionType:
      return QString::fromStdString(ConnectionTypeText(R.ConnecionType));
    case TFoundDevicesModel::fldProtocol:
      return QString::fromStdString(R.Protocol);
    case TFoundDevicesModel::fldDeviceType:
      return R.DeviceType ? QString::fromStdString(*R.DeviceType) : QString();
    case TFoundDevicesModel::fldSerialNum:
      return R.SerialNum ? QString::number(*R.SerialNum) : QString();
    case TFoundDevicesModel::fldSoftVersion:
      return R.SoftVersion ? QString::fromStdString(*R.SoftVersion) : QString();
    default:
      return {};
  }
}

// A cell of an exported line. A tab or a line end inside a copied cell would split it; a CSV
// cell is quoted where it holds the separator, a quote or a line end, and a cell that begins
// like a formula gets an apostrophe so that a spreadsheet program shows it as text.
QString ExportCell(QString Text, TRowsTextFormat Format) {
  if (Format == TRowsTextFormat::rtfTabs) {
    for (QChar& c : Text)
      if (c == u'\t' || c == u'\r' || c == u'\n') c = u' ';
    return Text;
  }
  if (!Text.isEmpty() && QStringView(u"=+-@").contains(Text.front())) Text.prepend(u'\'');
  if (Text.contains(u';') || Text.contains(u'"') || Text.contains(u'\r') || Text.contains(u'\n'))
    Text = u'"' + Text.replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"';
  return Text;
}

}  // namespace

const char* TFoundDevicesModel::FieldName(int Field) {
  return ValidField(Field) ? Fields[Field].Name : "";
}

QString TFoundDevicesModel::ColumnTitle(int Field) {
  return ValidField(Field) ? QString::fromUtf8(Fields[Field].Title) : QString();
}

int TFoundDevicesModel::ColumnWidth(int Field) {
  return ValidField(Field) ? Fields[Field].Width : 0;
}

TFoundDevicesModel::TFoundDevicesModel(QObject* Parent)
    : QAbstractTableModel(Parent), Collator_(QLocale(QLocale::Russian, QLocale::Russia)) {
  Collator_.setNumericMode(true);
  Collator_.setCaseSensitivity(Qt::CaseInsensitive);
}

void TFoundDevicesModel::Append(TFoundDeviceRow Row) {
  const int added = static_cast<int>(Rows_.size());
  Rows_.push_back(std::move(Row));
  auto at = Order_.end();
  if (SortColumn_ >= 0)
    at = std::upper_bound(Order_.begin(), Order_.end(), added,
                          [this](int A, int B) { return Before(A, B); });
  const int shown = static_cast<int>(at - Order_.begin());
  beginInsertRows({}, shown, shown);
  Order_.insert(at, added);
  endInsertRows();
}

void TFoundDevicesModel::Clear() {
  beginResetModel();
  Rows_.clear();
  Order_.clear();
  endResetModel();
}

const TFoundDeviceRow& TFoundDevicesModel::Row(int Index) const {
  return Rows_.at(static_cast<std::size_t>(Order_.at(static_cast<std::size_t>(Index))));
}

QString TFoundDevicesModel::DisplayText(int RowIndex, int Field) const {
  if (RowIndex < 0 || RowIndex >= rowCount()) return {};
  return CellText(Row(RowIndex), Field);
}

QString TFoundDevicesModel::RowsText(const std::vector<int>& Rows, TRowsTextFormat Format) const {
  const bool csv = Format == TRowsTextFormat::rtfCsv;
  const QString separator = csv ? QStringLiteral(";") : QStringLiteral("\t");
  const QString lineEnd = csv ? QStringLiteral("\r\n") : QStringLiteral("\n");
  QStringList cells;
  for (int c = 0; c < FieldCount; ++c) cells << ExportCell(ColumnTitle(c), Format);
  QString text = cells.join(separator) + lineEnd;
  for (int r : Rows) {
    if (r < 0 || r >= rowCount()) continue;
    cells.clear();
    for (int c = 0; c < FieldCount; ++c) cells << ExportCell(DisplayText(r, c), Format);
    text += cells.join(separator) + lineEnd;
  }
  return text;
}

int TFoundDevicesModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(Rows_.size());
}

int TFoundDevicesModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : FieldCount;
}

QVariant TFoundDevicesModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  switch (Role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return DisplayText(Index.row(), Index.column());
    case Qt::TextAlignmentRole:
      // Numbers to the right, as a grid shows integer fields; the connection type is text.
      if (Index.column() == fldAddress || Index.column() == fldSerialNum)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant TFoundDevicesModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation == Qt::Horizontal && Role == Qt::DisplayRole) return ColumnTitle(Section);
  // The first click on a title sorts ascending, the next one reverses.
  if (Orientation == Qt::Horizontal && Role == Qt::InitialSortOrderRole)
    return static_cast<int>(Qt::AscendingOrder);
  return QAbstractTableModel::headerData(Section, Orientation, Role);
}

int TFoundDevicesModel::Compare(const TFoundDeviceRow& A, const TFoundDeviceRow& B) const {
  const auto numbers = [](std::optional<int> X, std::optional<int> Y) {
    return X < Y ? -1 : (Y < X ? 1 : 0);  // an empty field first
  };
  switch (SortColumn_) {
    case fldAddress:
      return numbers(A.Address, B.Address);
    case fldConnecionType:
      return numbers(A.ConnecionType, B.ConnecionType);
    case fldSerialNum:
      return numbers(A.SerialNum, B.SerialNum);
    default:
      return Collator_.compare(CellText(A, SortColumn_), CellText(B, SortColumn_));
  }
}

bool TFoundDevicesModel::Before(int A, int B) const {
  const int c = Compare(Rows_[static_cast<std::size_t>(A)], Rows_[static_cast<std::size_t>(B)]);
  return SortOrder_ == Qt::AscendingOrder ? c < 0 : c > 0;
}

void TFoundDevicesModel::sort(int Column, Qt::SortOrder Order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // The selection and the current row follow their rows.
  const QModelIndexList before = persistentIndexList();
  std::vector<int> rowsBefore;
  rowsBefore.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& i : before)
    rowsBefore.push_back(Order_[static_cast<std::size_t>(i.row())]);

  SortColumn_ = ValidField(Column) ? Column : -1;
  SortOrder_ = Order;
  std::iota(Order_.begin(), Order_.end(), 0);
  if (SortColumn_ >= 0)
    std::stable_sort(Order_.begin(), Order_.end(), [this](int A, int B) { return Before(A, B); });

  std::vector<int> shownAt(Order_.size());
  for (std::size_t i = 0; i < Order_.size(); ++i)
    shownAt[static_cast<std::size_t>(Order_[i])] = static_cast<int>(i);
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i)
    after << index(shownAt[static_cast<std::size_t>(rowsBefore[static_cast<std::size_t>(i)])],
                   before[i].column());
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

bool TSearchProtocolModel::Shows(const TLine& Line) const {
  switch (Filter_) {
    case TProtocolFilter::pfFound:
      return Line.Kind == TProtocolLineKind::plkFound;
    case TProtocolFilter::pfErrors:
      return Line.Kind == TProtocolLineKind::plkError;
    case TProtocolFilter::pfAll:
      break;
  }
  return true;
}

const TSearchProtocolModel::TLine& TSearchProtocolModel::At(int Index) const {
  const auto i = static_cast<std::size_t>(Index);
  return Filter_ == TProtocolFilter::pfAll ? Lines_.at(i) : Lines_.at(Shown_.at(i));
}

void TSearchProtocolModel::Append(const QString& Line, TProtocolLineKind Kind,
                                  std::uint64_t AttemptId) {
  TLine line{Line, Kind, AttemptId};
  if (!Shows(line)) {
    Lines_.push_back(std::move(line));
    return;
  }
  const int at = rowCount();
  beginInsertRows({}, at, at);
  if (Filter_ != TProtocolFilter::pfAll) Shown_.push_back(Lines_.size());
  Lines_.push_back(std::move(line));
  endInsertRows();
}

void TSearchProtocolModel::Clear() {
  if (Lines_.empty()) return;
  beginResetModel();
  Lines_.clear();
  Shown_.clear();
  endResetModel();
}

void TSearchProtocolModel::SetFilter(TProtocolFilter Filter) {
  if (Filter == Filter_) return;
  beginResetModel();
  Filter_ = Filter;
  Shown_.clear();
  if (Filter_ != TProtocolFilter::pfAll)
    for (std::size_t i = 0; i < Lines_.size(); ++i)
      if (Shows(Lines_[i])) Shown_.push_back(i);
  endResetModel();
}

int TSearchProtocolModel::rowCount(const QModelIndex& Parent) const {
  if (Parent.isValid()) return 0;
  return static_cast<int>(Filter_ == TProtocolFilter::pfAll ? Lines_.size() : Shown_.size());
}

QVariant TSearchProtocolModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  // The view elides long lines in the middle; the tool tip holds the whole line.
  if (Role == Qt::DisplayRole || Role == Qt::ToolTipRole) return At(Index.row()).Text;
  return {};
}

}  // namespace probrix
