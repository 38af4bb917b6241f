// The window's controls and the settings file: the search parameters and the window's place are
// read into the controls when the window is made and written back when it closes; the plan of a
// search is read from the controls when it starts.

#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <algorithm>
#include <functional>
#include <optional>

#include "foundation/appDateTime.h"
#include "foundation/appSysUtils.h"
#include "search/uSearchReport.h"
#include "ui/fMain.h"
#include "ui/fMainViews.h"
#include "ui_fMain.h"

namespace probrix {

namespace {

// The window's place and size live in the settings file beside the search parameters.
constexpr std::string_view PlacementSection = "FormPlacement";

}  // namespace

void TfrmMain::LoadSettings() {
  auto& f = *Ui_;
  const TIniFile ini(IniFileName_);
  TSearchSettings s = LoadSearchSettings(ini);
  // Numbers outside their ranges are taken as the spin box would take them, and said once.
  for (const std::string& notice : ClampSearchSettings(s, WindowPlanLimits))
    ShowProtocolLine(FormatDateTime("hh:nn:ss.zzz", NowDateTime()) + " " + SafeLogText(notice));

  TCheckItems ports = CheckItems(f.clbSerialPorts);
  ApplyCheckStates(ports, s.SerialPorts);
  ApplyCheckItems(f.clbSerialPorts, ports);
  TCheckItems bauds = CheckItems(f.clbBaudRates);
  ApplyCheckStates(bauds, s.BaudRates);
  ApplyCheckItems(f.clbBaudRates, bauds);
  // A format of the file that the window does not list (8E2, 8O2) is listed after the others.
  TCheckItems formats = CheckItems(f.clbLineFormats);
  for (const TLineFormat& format : s.LineFormats) {
    const std::string name = LineFormatName(format);
    if (std::none_of(formats.begin(), formats.end(),
                     [&](const auto& I) { return I.first == name; }))
      AddCheckItem(f.clbLineFormats, name, true);
  }
  formats = CheckItems(f.clbLineFormats);
  for (auto& [name, checked] : formats) {
    const std::optional<TLineFormat> format = ParseLineFormat(name);
    checked = format &&
              std::find(s.LineFormats.begin(), s.LineFormats.end(), *format) != s.LineFormats.end();
  }
  ApplyCheckItems(f.clbLineFormats, formats);
  for (const auto& pair : s.TCPConnections) AddCheckItem(f.clbTCPEndpoints, pair.first, false);
  TCheckItems endpoints = CheckItems(f.clbTCPEndpoints);
  ApplyCheckStates(endpoints, s.TCPConnections);
  ApplyCheckItems(f.clbTCPEndpoints, endpoints);

  TProtocolChoice protocols{f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(),
                            f.cbModbusTCP->isChecked(), f.cbOrvatAscii->isChecked()};
  protocols = DecodeProtocols(s.Protocols, protocols);
  f.cbOrvatbus->setChecked(protocols.Orvatbus);
  f.cbModbusRTU->setChecked(protocols.ModbusRTU);
  f.cbModbusTCP->setChecked(protocols.ModbusTCP);
  f.cbOrvatAscii->setChecked(protocols.OrvatAscii);

  f.cbSearchSingleOrvatbusDevice->setChecked(s.SearchSingleOrvatbusDevice);
  f.edOrvatbusAddresses->setText(QString::fromStdString(s.OrvatbusAddresses));
  f.edModbusAddresses->setText(QString::fromStdString(s.ModbusAddresses));
  cbOrvatbusClick();
  cbModbusClick();

  RequestRetryCount_ = s.RequestRetryCount;
  f.seStartOfPacketReadTimeout->setValue(s.StartOfPacketReadTimeout);
  WritePacketTimeout_ = s.WritePacketTimeout;
  f.cbSaveSearchLogs->setChecked(s.SaveSearchLogs);
  f.seParallelConnections->setValue(s.ParallelConnections);

  LoadWindowPlacement(ini);
}

void TfrmMain::SaveSettings() {
  auto& f = *Ui_;
  TIniFile ini(IniFileName_);
  TSearchSettings v;
  v.SearchSingleOrvatbusDevice = f.cbSearchSingleOrvatbusDevice->isChecked();
  v.OrvatbusAddresses = f.edOrvatbusAddresses->text().toStdString();
  v.ModbusAddresses = f.edModbusAddresses->text().toStdString();
  v.RequestRetryCount = RequestRetryCount_;
  v.StartOfPacketReadTimeout = f.seStartOfPacketReadTimeout->value();
  v.WritePacketTimeout = WritePacketTimeout_;
  v.SaveSearchLogs = f.cbSaveSearchLogs->isChecked();
  v.ParallelConnections = f.seParallelConnections->value();
  v.LineFormats = CheckedLineFormats();
  const TProtocolChoice protocols{f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(),
                                  f.cbModbusTCP->isChecked(), f.cbOrvatAscii->isChecked()};
  SaveSearchSettings(ini, EncodeCheckList(CheckItems(f.clbSerialPorts)),
                     EncodeCheckList(CheckItems(f.clbBaudRates)),
                     EncodeCheckList(CheckItems(f.clbTCPEndpoints)), EncodeProtocols(protocols), v);
  SaveWindowPlacement(ini);
}

void TfrmMain::LoadWindowPlacement(const TIniFile& Ini) {
  // The size: never below the designed one, nor beyond the largest screen.
  QSize largest;
  for (const QScreen* screen : QGuiApplication::screens())
    largest = largest.expandedTo(screen->availableGeometry().size());
  const QSize stored(Ini.ReadInteger(PlacementSection, "Width", width()),
                     Ini.ReadInteger(PlacementSection, "Height", height()));
  resize(largest.isValid() ? stored.boundedTo(largest).expandedTo(minimumSize())
                           : stored.expandedTo(minimumSize()));
  if (Ini.ReadBool(PlacementSection, "Maximized", false))
    setWindowState(windowState() | Qt::WindowMaximized);

  if (!Ini.ValueExists(PlacementSection, "Left") || !Ini.ValueExists(PlacementSection, "Top"))
    return;
  const QPoint at(Ini.ReadInteger(PlacementSection, "Left", 0),
                  Ini.ReadInteger(PlacementSection, "Top", 0));
  // A position on a screen that is no longer there would hide the window: keep the default.
  const QRect title(at, QSize(width(), 32));
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (screen->availableGeometry().intersects(title)) {
      move(at);
      return;
    }
  }
}

void TfrmMain::SaveWindowPlacement(TIniFile& Ini) {
  // A maximised window keeps the place and size it returns to.
  const QRect normal = isMaximized() ? normalGeometry() : QRect(pos(), size());
  if (normal.isValid()) {
    Ini.WriteInteger(PlacementSection, "Left", normal.x());
    Ini.WriteInteger(PlacementSection, "Top", normal.y());
    Ini.WriteInteger(PlacementSection, "Width", normal.width());
    Ini.WriteInteger(PlacementSection, "Height", normal.height());
  }
  Ini.WriteBool(PlacementSection, "Maximized", isMaximized());
}

TSearchChoice TfrmMain::CurrentChoice() const {
  auto& f = *Ui_;
  TSearchChoice c;
  c.SerialPortNames = CheckedTexts(f.clbSerialPorts);
  for (const std::string& baud : CheckedTexts(f.clbBaudRates))
    c.BaudRates.push_back(StrToIntDef(baud, 0));
  c.TcpEndpoints = CheckedTexts(f.clbTCPEndpoints);
  c.Protocols = {f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(), f.cbModbusTCP->isChecked(),
                 f.cbOrvatAscii->isChecked()};
  c.SearchSingleOrvatbusDevice = f.cbSearchSingleOrvatbusDevice->isChecked();
  c.OrvatbusAddresses = f.edOrvatbusAddresses->text().toStdString();
  c.ModbusAddresses = f.edModbusAddresses->text().toStdString();
  c.RequestRetryCount = RequestRetryCount_;
  c.StartOfPacketReadTimeout = f.seStartOfPacketReadTimeout->value();
  c.ParallelConnections = f.seParallelConnections->value();
  c.LineFormats = CheckedLineFormats();
  return c;
}

std::vector<TLineFormat> TfrmMain::CheckedLineFormats() const {
  std::vector<TLineFormat> formats;
  for (const std::string& name : CheckedTexts(Ui_->clbLineFormats))
    if (const std::optional<TLineFormat> format = ParseLineFormat(name)) formats.push_back(*format);
  return formats;
}

void TfrmMain::FocusFieldAtFault(const TSearchChoice& C) {
  auto& f = *Ui_;
  // The checks of the plan, one control at a time, in the order the plan check makes them.
  const auto fails = [](const std::function<void()>& Check) {
    try {
      Check();
      return false;
    } catch (const Exception&) {
      return true;
    }
  };
  QWidget* field = nullptr;
  for (int i = 0; i < f.clbTCPEndpoints->count() && field == nullptr; ++i) {
    QListWidgetItem* item = f.clbTCPEndpoints->item(i);
    if (item->checkState() == Qt::Checked &&
        fails([&] { CheckTcpEndPointText(item->text().toStdString(), false); })) {
      f.clbTCPEndpoints->setCurrentItem(item);
      field = f.clbTCPEndpoints;
    }
  }
  if (field == nullptr && !C.SerialPortNames.empty() && !C.BaudRates.empty() &&
      C.LineFormats.empty())
    field = f.clbLineFormats;
  const bool orvatbusList = C.Protocols.Orvatbus && !C.SearchSingleOrvatbusDevice;
  const bool modbus = C.Protocols.ModbusRTU || C.Protocols.ModbusTCP;
  if (field == nullptr && orvatbusList && fails([&] { CheckAddressList(C.OrvatbusAddresses); }))
    field = f.edOrvatbusAddresses;
  if (field == nullptr && modbus && fails([&] { CheckAddressList(C.ModbusAddresses); }))
    field = f.edModbusAddresses;
  if (field == nullptr) {
    // Nothing to search: the list that lacks a tick, or the protocols.
    if (C.TcpEndpoints.empty() && (C.SerialPortNames.empty() || C.BaudRates.empty())) {
      field = !C.SerialPortNames.empty() ? static_cast<QWidget*>(f.clbBaudRates)
              : f.clbSerialPorts->count() > 0 || f.clbTCPEndpoints->count() == 0
                  ? static_cast<QWidget*>(f.clbSerialPorts)
                  : f.clbTCPEndpoints;
    } else if (orvatbusList) {
      field = f.edOrvatbusAddresses;
    } else if (modbus) {
      field = f.edModbusAddresses;
    } else {
      field = f.cbOrvatbus;
    }
  }
  field->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
}

}  // namespace probrix
