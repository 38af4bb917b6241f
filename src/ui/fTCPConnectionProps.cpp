#include "ui/fTCPConnectionProps.h"

#include <algorithm>

#include "connections/ioDeviceConnection.h"
#include "platform/platSockets.h"
#include "ui/uApplication.h"
#include "ui_fTCPConnectionProps.h"

namespace probrix {

bool IsIPv4AddressText(const std::string& Text) {
  std::uint32_t address = 0;
  return platform::SocketParseIPv4Address(Text, address);
}

std::optional<std::string> SteppedIPv4Address(const std::string& Text, int Delta) {
  std::uint32_t address = 0;
  if (!platform::SocketParseIPv4Address(Text, address)) return std::nullopt;
  // The address is in network order: the last octet is the last byte in memory.
  auto* octets = reinterpret_cast<unsigned char*>(&address);
  octets[3] = static_cast<unsigned char>(octets[3] + Delta);
  return platform::SocketAddressToText(address);
}

TfrmTCPConnectionProps::TfrmTCPConnectionProps(QWidget* Owner)
    : QDialog(Owner), Ui_(std::make_unique<Ui::TfrmTCPConnectionProps>()) {
  Ui_->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  // The arrows keep their place while hidden, so the field does not jump.
  QSizePolicy keep = Ui_->updownAddr->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  Ui_->updownAddr->setSizePolicy(keep);
  const int arrowHeight = std::max(8, Ui_->edIPAddress->sizeHint().height() / 2);
  for (QToolButton* b : {Ui_->btnAddrUp, Ui_->btnAddrDown}) b->setFixedSize(18, arrowHeight);

  connect(Ui_->btnOK, &QPushButton::clicked, this,
          [this] { RunHandler([this] { btnOKClick(); }); });
  connect(Ui_->btnCancel, &QPushButton::clicked, this,
          [this] { RunHandler([this] { btnCancelClick(); }); });
  connect(Ui_->edIPAddress, &QLineEdit::textChanged, this,
          [this] { RunHandler([this] { edIPAddressChange(); }); });
  connect(Ui_->btnAddrUp, &QToolButton::clicked, this,
          [this] { RunHandler([this] { StepAddress(+1); }); });
  connect(Ui_->btnAddrDown, &QToolButton::clicked, this,
          [this] { RunHandler([this] { StepAddress(-1); }); });
  edIPAddressChange();
}

TfrmTCPConnectionProps::~TfrmTCPConnectionProps() = default;

bool TfrmTCPConnectionProps::Execute() {
  exec();
  return Confirmed_;
}

void TfrmTCPConnectionProps::SetEndpointText(std::string_view Text) {
  const TTcpEndPoint endpoint = ParseTcpEndPointText(Text);
  Ui_->edIPAddress->setText(QString::fromStdString(endpoint.TcpAddr));
  Ui_->sePort->setValue(std::clamp<int>(endpoint.TcpPort, 1, 65535));
}

std::string TfrmTCPConnectionProps::EndpointText() const {
  // The field keeps its value within 1..65535 (an out-of-range text is corrected to the
  // nearest bound), so the stored port is never 0 or wrapped.
  const int port = std::clamp(Ui_->sePort->value(), 1, 65535);
  return MakeTcpEndPointText(Ui_->edIPAddress->text().toStdString(),
                             static_cast<std::uint16_t>(port));
}

void TfrmTCPConnectionProps::StepAddress(int Delta) {
  if (auto next = SteppedIPv4Address(Ui_->edIPAddress->text().toStdString(), Delta))
    Ui_->edIPAddress->setText(QString::fromStdString(*next));
}

void TfrmTCPConnectionProps::btnOKClick() {
  // A port still being typed is taken in (and corrected into range) before saving.
  Ui_->sePort->interpretText();
  Confirmed_ = true;
  accept();
}

void TfrmTCPConnectionProps::btnCancelClick() { reject(); }

void TfrmTCPConnectionProps::edIPAddressChange() {
  Ui_->updownAddr->setVisible(IsIPv4AddressText(Ui_->edIPAddress->text().toStdString()));
}

void TfrmTCPConnectionProps::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  Ui_->edIPAddress->setFocus();
  Ui_->edIPAddress->selectAll();
}

}  // namespace probrix
