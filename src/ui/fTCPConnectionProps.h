#pragma once

// The TCP endpoint dialog: one IPv4 address (or host name) and port, read and written in the
// endpoint text form "host:port" in which the main window's list keeps endpoints.

#include <QDialog>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Ui {
class TfrmTCPConnectionProps;
}

namespace probrix {

// Whether Text is an IPv4 address as the platform's inet_addr reads it (255.255.255.255, its
// error value, counts as none).
bool IsIPv4AddressText(const std::string& Text);
// Text with the last octet of its address stepped by Delta modulo 256 (no carry), printed as
// inet_ntoa does; none when Text is not an address.
std::optional<std::string> SteppedIPv4Address(const std::string& Text, int Delta);

class TfrmTCPConnectionProps : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmTCPConnectionProps(QWidget* Owner = nullptr);
  ~TfrmTCPConnectionProps() override;

  Ui::TfrmTCPConnectionProps* Form() const { return Ui_.get(); }

  // Shows the dialog modally; true when the operator saved.
  bool Execute();
  bool Confirmed() const { return Confirmed_; }

  // Host into the address field, port into the port field (brought into 1..65535).
  void SetEndpointText(std::string_view Text);
  // "host:port": the address text as typed and the port.
  std::string EndpointText() const;
  // Steps the last octet of the address; does nothing while the text is not an address.
  void StepAddress(int Delta);

  void btnOKClick();
  void btnCancelClick();
  void edIPAddressChange();

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  std::unique_ptr<Ui::TfrmTCPConnectionProps> Ui_;
  bool Confirmed_ = false;
};

}  // namespace probrix
