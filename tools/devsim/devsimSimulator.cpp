#include "devsim/devsimSimulator.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

#include "devsim/devsimEndpoint.h"

namespace probrix::devsim {

namespace {

void CheckLineFormat(const std::string& Format) {
  if (!Format.empty() && !IsLineFormat(Format))
    throw std::invalid_argument("bad line format: " + Format + " (8N1, 8E1, 8O1, 8N2, 8E2, 8O2)");
}

}  // namespace

TSimulator::TSimulator(std::filesystem::path LinkFolder) : LinkFolder_(std::move(LinkFolder)) {
  if (LinkFolder_.empty()) {
    std::string templ = (std::filesystem::temp_directory_path() / "probrix-devsim-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) ThrowErrno("mkdtemp");
    LinkFolder_ = templ;
    OwnsFolder_ = true;
  } else {
    std::filesystem::create_directories(LinkFolder_);
  }
  LinkFolder_ = std::filesystem::absolute(LinkFolder_);
}

TSimulator::~TSimulator() { Stop(); }

std::string TSimulator::AddSerialPort(const TSerialPortConfig& Config) {
  std::lock_guard lock(Mutex_);
  if (Stopped_) throw std::logic_error("the simulator has stopped");
  CheckLineFormat(Config.LineFormat);
  const int number = NextPortNumber_++;
  const std::string name = Config.Name.empty() ? "ttySIM" + std::to_string(number) : Config.Name;
  if (name.find('/') != std::string::npos || name == "." || name == "..") {
    throw std::invalid_argument("bad port name: " + name);
  }
  const auto link = LinkFolder_ / name;
  for (const auto& e : Endpoints_) {
    if (e->Serial() && e->Path() == link.string()) {
      throw std::invalid_argument("port name already used: " + name);
    }
  }
  auto endpoint = std::make_unique<TEndpoint>(true, number);
  endpoint->OpenSerial(link, Config);
  endpoint->Start();
  Endpoints_.push_back(std::move(endpoint));
  return link.string();
}

std::uint16_t TSimulator::AddTcpServer(const TTcpServerConfig& Config) {
  std::lock_guard lock(Mutex_);
  if (Stopped_) throw std::logic_error("the simulator has stopped");
  auto endpoint = std::make_unique<TEndpoint>(false, NextPortNumber_++);
  endpoint->OpenTcp(Config);
  endpoint->Start();
  const std::uint16_t port = endpoint->Port();
  Endpoints_.push_back(std::move(endpoint));
  return port;
}

TEndpoint& TSimulator::Find(const std::string& PortPath) const {
  for (const auto& e : Endpoints_) {
    if (e->Serial() && e->Path() == PortPath) return *e;
  }
  throw std::invalid_argument("no simulated port " + PortPath);
}

TEndpoint& TSimulator::Find(std::uint16_t TcpPort) const {
  for (const auto& e : Endpoints_) {
    if (!e->Serial() && e->Port() == TcpPort) return *e;
  }
  throw std::invalid_argument("no simulated server on port " + std::to_string(TcpPort));
}

TEndpoint& TSimulator::FindDevice(int DeviceId) const {
  auto it = DeviceOwners_.find(DeviceId);
  if (it == DeviceOwners_.end()) {
    throw std::invalid_argument("no simulated device " + std::to_string(DeviceId));
  }
  return *it->second;
}

int TSimulator::AddDevice(const std::string& PortPath, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  CheckLineFormat(Device.LineFormat);
  TEndpoint& e = Find(PortPath);
  const int id = NextDeviceId_++;
  DeviceOwners_[id] = &e;
  e.AddDevice(id, Device);
  return id;
}

int TSimulator::AddDevice(std::uint16_t TcpPort, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  CheckLineFormat(Device.LineFormat);
  TEndpoint& e = Find(TcpPort);
  const int id = NextDeviceId_++;
  DeviceOwners_[id] = &e;
  e.AddDevice(id, Device);
  return id;
}

void TSimulator::SetDevice(int DeviceId, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  CheckLineFormat(Device.LineFormat);
  FindDevice(DeviceId).SetDevice(DeviceId, Device);
}

std::size_t TSimulator::RequestCount(int DeviceId) const {
  std::lock_guard lock(Mutex_);
  return FindDevice(DeviceId).RequestCount(DeviceId);
}

TBytes TSimulator::Received(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).Received();
}

TBytes TSimulator::Received(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).Received();
}

void TSimulator::ClearReceived(const std::string& PortPath) {
  std::lock_guard lock(Mutex_);
  Find(PortPath).ClearReceived();
}

void TSimulator::ClearReceived(std::uint16_t TcpPort) {
  std::lock_guard lock(Mutex_);
  Find(TcpPort).ClearReceived();
}

std::size_t TSimulator::PeakRequestsInProgress(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).PeakRequestsInProgress();
}

std::size_t TSimulator::PeakRequestsInProgress(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).PeakRequestsInProgress();
}

std::size_t TSimulator::AcceptCount(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).AcceptCount();
}

void TSimulator::Vanish(const std::string& PortPath) {
  std::lock_guard lock(Mutex_);
  Find(PortPath).Vanish();
}

void TSimulator::Vanish(std::uint16_t TcpPort) {
  std::lock_guard lock(Mutex_);
  Find(TcpPort).Vanish();
}

bool TSimulator::Alive(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).Alive();
}

bool TSimulator::Alive(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).Alive();
}

void TSimulator::Stop() {
  std::lock_guard lock(Mutex_);
  if (Stopped_) return;
  Stopped_ = true;
  for (auto& e : Endpoints_) e->Stop();
  Endpoints_.clear();
  DeviceOwners_.clear();
  if (OwnsFolder_) {
    std::error_code ec;
    std::filesystem::remove_all(LinkFolder_, ec);
  }
}

}  // namespace probrix::devsim
