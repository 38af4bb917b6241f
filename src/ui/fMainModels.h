#pragma once

// The main window's two result views: the table of found devices (tblFoundDevices behind
// dbgrFoundDevices) and the search protocol lines (lbSearchProtocol). Both only ever append
// at the end or clear, so adding a row costs the same with 10 rows or 100,000.

#include <QAbstractListModel>
#include <QAbstractTableModel>
#include <QSize>
#include <QString>
#include <optional>
#include <string>
#include <vector>

namespace probrix {

// One row of tblFoundDevices. The three identification fields are empty (null) for an
// OrvatASCII device.
struct TFoundDeviceRow {
  int Address = 0;
  std::string ConnectionString;
  int ConnecionType = 0;
  std::string Protocol;
  std::optional<std::string> DeviceType;
  std::optional<int> SerialNum;
  std::optional<std::string> SoftVersion;
};

class TFoundDevicesModel : public QAbstractTableModel {
 public:
  enum TField {
    fldAddress,
    fldConnectionString,
    fldConnecionType,
    fldProtocol,
    fldDeviceType,
    fldSerialNum,
    fldSoftVersion,
    FieldCount
  };
  // Field names and column titles, in column order.
  static const char* FieldName(int Field);
  static QString ColumnTitle(int Field);
  // The grid width of a column; 0: sized to its title.
  static int ColumnWidth(int Field);

  using QAbstractTableModel::QAbstractTableModel;

  void Append(TFoundDeviceRow Row);
  void Clear();
  const TFoundDeviceRow& Row(int Index) const { return Rows_.at(static_cast<std::size_t>(Index)); }
  // A cell as the grid shows it ("COM-порт" for a connection type of 0, "" for a null field).
  QString DisplayText(int Row, int Field) const;

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;

 private:
  std::vector<TFoundDeviceRow> Rows_;
};

class TSearchProtocolModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  void Append(const QString& Line);
  void Clear();
  // The size every line reports (the view lays out lines of uniform size, taken from the
  // last one): as wide as the widest line so far, so none is cut off.
  void SetItemSize(QSize Size) { ItemSize_ = Size; }
  QSize ItemSize() const { return ItemSize_; }
  const QString& Line(int Index) const { return Lines_.at(static_cast<std::size_t>(Index)); }

  int rowCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;

 private:
  std::vector<QString> Lines_;
  QSize ItemSize_;
};

}  // namespace probrix
