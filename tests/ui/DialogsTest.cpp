// The TCP endpoint dialog on its own and through the main window's Add and Edit actions.

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include "UiTestSupport.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui/fTCPConnectionProps.h"
#include "ui_fMain.h"
#include "ui_fTCPConnectionProps.h"

namespace probrix {
namespace {

using uitest::WhenModal;

TEST(TcpEndpointDialog, StartsWithItsDesignValues) {
  TfrmTCPConnectionProps d;
  auto& f = *d.Form();
  EXPECT_EQ(d.windowTitle(), "TCP подключение");
  EXPECT_EQ(f.Label1->text(), "IP-адрес:");
  EXPECT_EQ(f.Label2->text(), "Порт:");
  EXPECT_EQ(f.btnOK->text(), "Сохранить");
  EXPECT_EQ(f.btnCancel->text(), "Отмена");
  EXPECT_TRUE(f.lblRangeNote->text().contains("обнаружения вторжений"));
  EXPECT_EQ(f.sePort->minimum(), 1);
  EXPECT_EQ(f.sePort->maximum(), 65535);
  EXPECT_EQ(d.EndpointText(), "10.0.0.100:502");
  EXPECT_FALSE(d.Confirmed());
  d.show();
  for (QWidget* c : {static_cast<QWidget*>(f.Label1), static_cast<QWidget*>(f.Label2),
                     static_cast<QWidget*>(f.btnOK), static_cast<QWidget*>(f.btnCancel),
                     static_cast<QWidget*>(f.lblRangeNote)})
    EXPECT_GE(c->width(), c->sizeHint().width()) << c->objectName().toStdString();
  uitest::SaveScreenshot(&d, "tcpdialog");
}

TEST(TcpEndpointDialog, ArrowsStepTheLastOctetWithoutCarry) {
  TfrmTCPConnectionProps d;
  auto& f = *d.Form();
  d.SetEndpointText("10.0.0.255:502");
  QTest::mouseClick(f.btnAddrUp, Qt::LeftButton);
  EXPECT_EQ(f.edIPAddress->text(), "10.0.0.0");
  QTest::mouseClick(f.btnAddrDown, Qt::LeftButton);
  EXPECT_EQ(f.edIPAddress->text(), "10.0.0.255");
  d.StepAddress(-1);
  EXPECT_EQ(f.edIPAddress->text(), "10.0.0.254");
  // The forms inet_addr accepts are printed back in dotted decimal.
  f.edIPAddress->setText("10.1");
  d.StepAddress(+1);
  EXPECT_EQ(f.edIPAddress->text(), "10.0.0.2");
}

TEST(TcpEndpointDialog, ArrowsShowOnlyForAnAddress) {
  TfrmTCPConnectionProps d;
  auto& f = *d.Form();
  EXPECT_FALSE(f.updownAddr->isHidden());
  f.edIPAddress->clear();
  QTest::keyClicks(f.edIPAddress, "localhost");
  EXPECT_TRUE(f.updownAddr->isHidden());
  d.StepAddress(+1);  // not an address: nothing changes
  EXPECT_EQ(f.edIPAddress->text(), "localhost");
  f.edIPAddress->clear();
  QTest::keyClicks(f.edIPAddress, "192.168.0.7");
  EXPECT_FALSE(f.updownAddr->isHidden());
  f.edIPAddress->setText("255.255.255.255");  // the parser's error value
  EXPECT_TRUE(f.updownAddr->isHidden());
}

TEST(TcpEndpointDialog, EndpointTextParsingAndPortRange) {
  TfrmTCPConnectionProps d;
  d.SetEndpointText("plc-7:4001");
  EXPECT_EQ(d.EndpointText(), "plc-7:4001");
  d.SetEndpointText("host");  // no port: the parser's 9999
  EXPECT_EQ(d.EndpointText(), "host:9999");
  d.SetEndpointText("host:0");  // brought into 1..65535
  EXPECT_EQ(d.EndpointText(), "host:1");
}

TEST(TcpEndpointDialog, PortTypedOutOfRangeIsClampedBeforeSaving) {
  TfrmTCPConnectionProps d;
  auto& f = *d.Form();
  WhenModal<TfrmTCPConnectionProps>([](TfrmTCPConnectionProps* D) {
    QLineEdit* port = D->Form()->sePort->findChild<QLineEdit*>();
    port->selectAll();
    QTest::keyClicks(port, "0");
    QTest::mouseClick(D->Form()->btnOK, Qt::LeftButton);
  });
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(f.sePort->value(), 1);
  EXPECT_EQ(d.EndpointText(), "10.0.0.100:1");
}

class EndpointActions : public ::testing::Test {
 protected:
  std::string IniFile() const { return (Dir.Path() / "probrix.ini").string(); }
  test::TTempDir Dir;
};

TEST_F(EndpointActions, AddWithAnEmptyListProposesTheDesignValues) {
  TfrmMain w(nullptr, IniFile());
  std::string proposed;
  WhenModal<TfrmTCPConnectionProps>([&](TfrmTCPConnectionProps* D) {
    proposed = D->EndpointText();
    EXPECT_TRUE(D->Form()->edIPAddress->hasFocus() || !D->isActiveWindow());
    QTest::mouseClick(D->Form()->btnOK, Qt::LeftButton);
  });
  w.Form()->acAddTCPEndpoint->trigger();
  EXPECT_EQ(proposed, "10.0.0.100:502");
  ASSERT_EQ(w.Form()->clbTCPEndpoints->count(), 1);
  EXPECT_EQ(w.Form()->clbTCPEndpoints->item(0)->text(), "10.0.0.100:502");
}

TEST_F(EndpointActions, AddProposesTheNextAddressWithThePortOfTheLastEntry) {
  uitest::WriteFileBytes(
      Dir.Path() / "probrix.ini",
      "[SearchParams]\r\nTCPConnections=\"1.2.3.4:9=1,192.168.1.20:4001=1\"\r\n");
  TfrmMain w(nullptr, IniFile());
  QString address;
  int port = 0;
  WhenModal<TfrmTCPConnectionProps>([&](TfrmTCPConnectionProps* D) {
    address = D->Form()->edIPAddress->text();
    port = D->Form()->sePort->value();
    QTest::mouseClick(D->Form()->btnOK, Qt::LeftButton);
  });
  QTest::mouseClick(w.Form()->btnAddTCPEndpoint, Qt::LeftButton);
  EXPECT_EQ(address, "192.168.1.21");
  EXPECT_EQ(port, 4001);
  ASSERT_EQ(w.Form()->clbTCPEndpoints->count(), 3);
  EXPECT_EQ(w.Form()->clbTCPEndpoints->item(2)->text(), "192.168.1.21:4001");
}

TEST_F(EndpointActions, CancelLeavesTheEntryAndAHostNameIsStoredAsTyped) {
  uitest::WriteFileBytes(Dir.Path() / "probrix.ini",
                         "[SearchParams]\r\nTCPConnections=\"10.0.0.7:502=1\"\r\n");
  TfrmMain w(nullptr, IniFile());
  QListWidget* list = w.Form()->clbTCPEndpoints;
  list->setCurrentRow(0);

  bool confirmed = true;
  WhenModal<TfrmTCPConnectionProps>([&](TfrmTCPConnectionProps* D) {
    EXPECT_EQ(D->EndpointText(), "10.0.0.7:502");
    D->Form()->edIPAddress->setText("changed");
    QTest::mouseClick(D->Form()->btnCancel, Qt::LeftButton);
    confirmed = D->Confirmed();
  });
  w.Form()->acEditTCPEndpoint->trigger();
  EXPECT_FALSE(confirmed);
  EXPECT_EQ(list->item(0)->text(), "10.0.0.7:502");

  WhenModal<TfrmTCPConnectionProps>([&](TfrmTCPConnectionProps* D) {
    D->Form()->edIPAddress->setText("plc on line 2");
    QTest::mouseClick(D->Form()->btnOK, Qt::LeftButton);
  });
  QTest::mouseClick(w.Form()->btnEditTCPEndpoint, Qt::LeftButton);
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->text(), "plc on line 2:502");
  EXPECT_EQ(list->item(0)->checkState(), Qt::Checked);

  // Closing with the window's close box leaves the list alone too.
  WhenModal<TfrmTCPConnectionProps>([&](TfrmTCPConnectionProps* D) {
    D->Form()->edIPAddress->setText("other");
    D->close();
  });
  w.Form()->acEditTCPEndpoint->trigger();
  EXPECT_EQ(list->item(0)->text(), "plc on line 2:502");
}

}  // namespace
}  // namespace probrix
