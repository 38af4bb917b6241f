#include "ui/fMainModels.h"

#include "search/uSearchReport.h"

namespace probrix {

namespace {

struct TFieldDef {
  const char* Name;
  const char* Title;
  int Width;
};

constexpr TFieldDef kFields[TFoundDevicesModel::FieldCount] = {
    {"Address", "Адрес", 47},
    {"ConnectionString", "Подключение", 94},
    {"ConnecionType", "Тип подключения", 0},
    {"Protocol", "Протокол", 0},
    {"DeviceType", "Тип прибора", 80},
    {"SerialNum", "Сер.номер", 0},
    {"SoftVersion", "Версия прошивки", 0},
};

bool ValidField(int Field) { return Field >= 0 && Field < TFoundDevicesModel::FieldCount; }

}  // namespace

const char* TFoundDevicesModel::FieldName(int Field) {
  return ValidField(Field) ? kFields[Field].Name : "";
}

QString TFoundDevicesModel::ColumnTitle(int Field) {
  return ValidField(Field) ? QString::fromUtf8(kFields[Field].Title) : QString();
}

int TFoundDevicesModel::ColumnWidth(int Field) {
  return ValidField(Field) ? kFields[Field].Width : 0;
}

void TFoundDevicesModel::Append(TFoundDeviceRow Row) {
  const int at = static_cast<int>(Rows_.size());
  beginInsertRows({}, at, at);
  Rows_.push_back(std::move(Row));
  endInsertRows();
}

void TFoundDevicesModel::Clear() {
  if (Rows_.empty()) return;
  beginResetModel();
  Rows_.clear();
  endResetModel();
}

QString TFoundDevicesModel::DisplayText(int RowIndex, int Field) const {
  if (RowIndex < 0 || RowIndex >= rowCount()) return {};
  const TFoundDeviceRow& r = Rows_[static_cast<std::size_t>(RowIndex)];
  switch (Field) {
    case fldAddress:
      return QString::number(r.Address);
    case fldConnectionString:
      return QString::fromStdString(r.ConnectionString);
    case fldConnecionType:
      return QString::fromStdString(ConnectionTypeText(r.ConnecionType));
    case fldProtocol:
      return QString::fromStdString(r.Protocol);
    case fldDeviceType:
      return r.DeviceType ? QString::fromStdString(*r.DeviceType) : QString();
    case fldSerialNum:
      return r.SerialNum ? QString::number(*r.SerialNum) : QString();
    case fldSoftVersion:
      return r.SoftVersion ? QString::fromStdString(*r.SoftVersion) : QString();
    default:
      return {};
  }
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
  return QAbstractTableModel::headerData(Section, Orientation, Role);
}

void TSearchProtocolModel::Append(const QString& Line) {
  const int at = static_cast<int>(Lines_.size());
  beginInsertRows({}, at, at);
  Lines_.push_back(Line);
  endInsertRows();
}

void TSearchProtocolModel::Clear() {
  ItemSize_ = QSize();
  if (Lines_.empty()) return;
  beginResetModel();
  Lines_.clear();
  endResetModel();
}

int TSearchProtocolModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(Lines_.size());
}

QVariant TSearchProtocolModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  if (Role == Qt::DisplayRole || Role == Qt::ToolTipRole)
    return Lines_[static_cast<std::size_t>(Index.row())];
  if (Role == Qt::SizeHintRole && ItemSize_.isValid()) return ItemSize_;
  return {};
}

}  // namespace probrix
