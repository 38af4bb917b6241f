#pragma once

// Scripted device searchers for the search task tests: every searcher records what the task
// does with it into one shared script, and the script decides how each Search ends.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/appSysUtils.h"
#include "search/uFinderEngine.h"

namespace probrix::test {

// "COM1:9600,Orvatbus": the names the recorded events carry.
inline std::string RunName(const std::string& ConnectionName, std::int32_t BaudRateOrPort,
                           TDeviceProtocol Protocol) {
  return ConnectionName + ":" + IntToStr(BaudRateOrPort) + "," +
         std::string(DeviceProtocolName(Protocol));
}

class TFakeSearcher;

struct TSearchScript {
  // How Search at one address ends: fill Info or throw. Runs on the worker thread.
  std::function<void(TFakeSearcher& Searcher, std::uint8_t Address, TDeviceInfo& Info)> OnSearch;
  // Runs when an attempt begins, before Search; may throw past Attempt's own handling.
  std::function<void(std::uint8_t Address)> OnAttempt;
  // Runs before a searcher is built; may throw to fail the construction.
  std::function<void(const std::string& RunName)> OnCreate;
  // Runs when the task closes a searcher's connection; may throw.
  std::function<void(const std::string& RunName)> OnClose;

  void Add(std::string Event) {
    std::lock_guard guard(Lock);
    Events.push_back(std::move(Event));
  }
  std::vector<std::string> Snapshot() const {
    std::lock_guard guard(Lock);
    return Events;
  }
  // The recorded events that start with Prefix, in order.
  std::vector<std::string> Filter(const std::string& Prefix) const {
    std::vector<std::string> result;
    for (const std::string& e : Snapshot())
      if (e.rfind(Prefix, 0) == 0) result.push_back(e);
    return result;
  }

  // "COM1:9600,Orvatbus 8E1": each line format a searcher was given, in order; kept apart from
  // Events, since every serial run is given one.
  void AddFormat(std::string Entry) {
    std::lock_guard guard(Lock);
    Formats.push_back(std::move(Entry));
  }
  std::vector<std::string> FormatsSnapshot() const {
    std::lock_guard guard(Lock);
    return Formats;
  }

  mutable std::mutex Lock;
  std::vector<std::string> Events;
  std::vector<std::string> Formats;
};

class TFakeSearcher : public IDeviceSearcher {
 public:
  TFakeSearcher(TSearchScript& Script, std::string Name, TDeviceProtocol Protocol,
                TConnectionType ConnectionType)
      : Script_(Script), Name_(std::move(Name)), Protocol_(Protocol), Type_(ConnectionType) {}
  ~TFakeSearcher() override { Script_.Add("free " + Name_); }

  ILogStrings* Log() const override { return Log_; }
  void SetLog(ILogStrings* Value) override { Log_ = Value; }
  std::int32_t ReadTimeout() const override { return ReadTimeout_; }
  void SetReadTimeout(std::int32_t Value) override { ReadTimeout_ = Value; }
  std::int32_t RequestRetryCount() const override { return RetryCount_; }
  void SetRequestRetryCount(std::int32_t Value) override { RetryCount_ = Value; }
  std::int32_t StartOfPacketReadTimeout() const override { return SopTimeout_; }
  void SetStartOfPacketReadTimeout(std::int32_t Value) override { SopTimeout_ = Value; }
  void SetLineFormat(const TLineFormat& Value) override {
    Script_.AddFormat(Name_ + " " + LineFormatName(Value));
  }

  void Search(std::uint8_t Address, TDeviceInfo& Info) override {
    Script_.Add("search " + Name_ + "," + IntToStr(Address) +
                " timeouts=" + IntToStr(ReadTimeout_) + "/" + IntToStr(SopTimeout_) +
                " retries=" + IntToStr(RetryCount_) + (Log_ ? " log" : " nolog"));
    if (Log_) Log_->Add("try " + IntToStr(Address), TDateTime());
    if (Script_.OnSearch) {
      Script_.OnSearch(*this, Address, Info);
    } else {
      Info.Address = Address;
    }
  }

  // Set by OnSearch before it throws: a device of another maker that answered all the same.
  std::optional<TDeviceInfo> Answering;
  TAttemptResult Attempt(std::uint8_t Address) override {
    if (Script_.OnAttempt) Script_.OnAttempt(Address);
    TAttemptResult result = IDeviceSearcher::Attempt(Address);
    const std::optional<TDeviceInfo> other = std::exchange(Answering, std::nullopt);
    if (result.Outcome == TAttemptOutcome::aoFailed && other)
      return TAttemptResult::OtherMaker(*other, *result.Error);
    return result;
  }

  void CloseConnection() override {
    Script_.Add("close " + Name_);
    if (Script_.OnClose) Script_.OnClose(Name_);
  }

  const std::string& Name() const { return Name_; }
  TDeviceProtocol Protocol() const { return Protocol_; }
  TConnectionType ConnectionType() const { return Type_; }

 private:
  TSearchScript& Script_;
  std::string Name_;
  TDeviceProtocol Protocol_;
  TConnectionType Type_;
  ILogStrings* Log_ = nullptr;
  std::int32_t ReadTimeout_ = -1;
  std::int32_t RetryCount_ = -1;
  std::int32_t SopTimeout_ = -1;
};

// Installs a factory of fake searchers for the life of the object.
class TFakeSearcherFactory {
 public:
  explicit TFakeSearcherFactory(TSearchScript& Script) {
    Previous_ = SetDeviceSearcherFactory(
        [&Script](const std::string& ConnectionName, std::int32_t BaudRateOrPort,
                  TDeviceProtocol Protocol,
                  TConnectionType ConnectionType) -> std::unique_ptr<IDeviceSearcher> {
          const std::string name = RunName(ConnectionName, BaudRateOrPort, Protocol);
          Script.Add("create " + name +
                     (ConnectionType == TConnectionType::ctTcp ? ",tcp" : ",serial"));
          if (Script.OnCreate) Script.OnCreate(name);
          return std::make_unique<TFakeSearcher>(Script, name, Protocol, ConnectionType);
        });
  }
  ~TFakeSearcherFactory() { SetDeviceSearcherFactory(std::move(Previous_)); }
  TFakeSearcherFactory(const TFakeSearcherFactory&) = delete;
  TFakeSearcherFactory& operator=(const TFakeSearcherFactory&) = delete;

 private:
  TDeviceSearcherFactory Previous_;
};

// Attaches recording handlers to Task: "progress", "found", "error" and "finished" events.
inline void RecordEvents(TSearchDevicesTask& Task, TSearchScript& Script) {
  // "COM1:9600,Orvatbus,1": the attempt as the recorded events name it.
  const auto name = [](const TSearchAttempt& A) {
    return RunName(A.ConnectionName, A.BaudRateOrPort, A.Protocol) + "," + IntToStr(A.Address);
  };
  Task.OnProgressChanged = [&Script, name](TSearchDevicesTask*, const TSearchAttempt& A) {
    Script.Add("progress " + name(A));
  };
  Task.OnDeviceFound = [&Script, name](TSearchDevicesTask*, const TSearchAttempt& A,
                                       const TDeviceInfo& Info, const TSearchLog& Log) {
    Script.Add("found " + name(A) + " reported=" + IntToStr(Info.Address) +
               " log=" + IntToStr(static_cast<int>(Log.Lines().size())));
  };
  Task.OnSearchError = [&Script, name](TSearchDevicesTask*, const TSearchAttempt& A,
                                       const Exception& Error, const TSearchLog&) {
    Script.Add("error " + name(A) + " " + Error.ClassName());
  };
  Task.OnSearchFinished = [&Script](TSearchDevicesTask*, bool Aborted) {
    Script.Add(std::string("finished ") + (Aborted ? "aborted" : "normal"));
  };
}

}  // namespace probrix::test
