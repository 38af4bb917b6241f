#pragma once

// The main window's two result views: the table of found devices (tblFoundDevices behind
// dbgrFoundDevices) and the search protocol lines (lbSearchProtocol). Lines are only ever
// appended or cleared; a found device goes to the end, or to its place when the table is
// sorted (a binary search), so adding a row or a line stays cheap with 100,000 of them.

#include <QAbstractListModel>
#include <QAbstractTableModel>
#include <QCollator>
#include <QString>
#include <cstdint>
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
  // The attempt that found it, in the window's store of recent traffic (0: none).
  std::uint64_t AttemptId = 0;
};

// How rows are written out: tab-separated lines for the clipboard, or ';'-separated CSV
// (quoted where needed) for spreadsheet programs in Russian locales.
enum class TRowsTextFormat { rtfTabs, rtfCsv };

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
  // The least grid width of a column (0: none besides its title).
  static int ColumnWidth(int Field);

  explicit TFoundDevicesModel(QObject* Parent = nullptr);

  void Append(TFoundDeviceRow Row);
  void Clear();
  // Rows are counted in the order shown (sorted, or in the order found).
  const TFoundDeviceRow& Row(int Index) const;
  // A cell as the grid shows it ("COM-порт" for a connection type of 0, "" for a null field).
  QString DisplayText(int Row, int Field) const;
  // The column titles and the given rows, one line each (every line ends with a line end:
  // "\n" for tabs, "\r\n" for CSV).
  QString RowsText(const std::vector<int>& Rows, TRowsTextFormat Format) const;
  int SortColumn() const { return SortColumn_; }

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;
  // Numbers compare as numbers, texts naturally ("COM2" before "COM10"); equal keys keep the
  // order found. A column of -1 restores the order found.
  void sort(int Column, Qt::SortOrder Order = Qt::AscendingOrder) override;

 private:
  // Whether the row Rows_[A] goes before Rows_[B] in the current sort order.
  bool Before(int A, int B) const;
  int Compare(const TFoundDeviceRow& A, const TFoundDeviceRow& B) const;

  std::vector<TFoundDeviceRow> Rows_;  // in the order found
  std::vector<int> Order_;             // shown row -> index into Rows_
  int SortColumn_ = -1;
  Qt::SortOrder SortOrder_ = Qt::AscendingOrder;
  QCollator Collator_;
};

// What a protocol line tells, for the list's filter.
enum class TProtocolLineKind : std::uint8_t { plkOther, plkFound, plkError };
// The lines the list shows: all, those of found devices, or errors.
enum class TProtocolFilter : std::uint8_t { pfAll, pfFound, pfErrors };

class TSearchProtocolModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  // AttemptId: the attempt whose traffic the line stands for in the window's store (0: none).
  void Append(const QString& Line, TProtocolLineKind Kind = TProtocolLineKind::plkOther,
              std::uint64_t AttemptId = 0);
  void Clear();
  void SetFilter(TProtocolFilter Filter);
  TProtocolFilter Filter() const { return Filter_; }
  // Lines are counted as shown (through the filter).
  const QString& Line(int Index) const { return At(Index).Text; }
  std::uint64_t AttemptId(int Index) const { return At(Index).AttemptId; }
  TProtocolLineKind Kind(int Index) const { return At(Index).Kind; }

  int rowCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;

 private:
  struct TLine {
    QString Text;
    TProtocolLineKind Kind = TProtocolLineKind::plkOther;
    std::uint64_t AttemptId = 0;
  };
  bool Shows(const TLine& Line) const;
  const TLine& At(int Index) const;

  std::vector<TLine> Lines_;
  TProtocolFilter Filter_ = TProtocolFilter::pfAll;
  std::vector<std::size_t> Shown_;  // with a filter: the lines shown, in order
};

}  // namespace probrix
