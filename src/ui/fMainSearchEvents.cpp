// The bridge from a search's events to the window: the task's handlers run on its worker
// thread and only post records; the window takes them on its own thread, shows them and has the
// recorder log them.

#include <QCoreApplication>
#include <QEvent>

#include "foundation/appDateTime.h"
#include "foundation/appSysUtils.h"
#include "foundation/ioExceptions.h"
#include "search/uSearchReport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui/uApplication.h"
#include "ui_fMain.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace probrix {

namespace {

// Qt hands a posted event to the window's thread under its own locks, which ThreadSanitizer
// cannot see (Qt is not instrumented); these two calls tell it about the hand-over.
void AnnotateHandOver([[maybe_unused]] QEvent* Event) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(Event);
#endif
}

void AnnotateTakeOver([[maybe_unused]] QEvent* Event) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(Event);
#endif
}

// Posts a search event from the worker thread; the window owns it from then on.
void PostSearchEvent(QObject* Receiver, QEvent* Event) {
  AnnotateHandOver(Event);
  QCoreApplication::postEvent(Receiver, Event);
}

// A search event as posted by the task's handlers; the event owns its record.
class TSearchTaskMessage : public QEvent {
 public:
  TSearchTaskMessage(int AType, std::unique_ptr<TSearchTaskEventArgs> AArgs)
      : QEvent(static_cast<QEvent::Type>(AType)), Args_(std::move(AArgs)) {}
  template <class T>
  T& Args() const {
    return static_cast<T&>(*Args_);
  }

 private:
  std::unique_ptr<TSearchTaskEventArgs> Args_;
};

class TSearchFinishedMessage : public QEvent {
 public:
  TSearchFinishedMessage(bool AAborted, std::string ARunError)
      : QEvent(static_cast<QEvent::Type>(msgSearchFinished)),
        Aborted(AAborted),
        RunError(std::move(ARunError)) {}
  bool Aborted;
  std::string RunError;  // the error that ended the run early; empty when it did not
};

// A log file the threaded logger could not write: its path and the reason.
const int msgLogWriteFailed = QEvent::registerEventType();
class TLogWriteFailedMessage : public QEvent {
 public:
  TLogWriteFailedMessage(std::string APath, std::string AReason)
      : QEvent(static_cast<QEvent::Type>(msgLogWriteFailed)),
        Path(std::move(APath)),
        Reason(std::move(AReason)) {}
  std::string Path, Reason;
};

// A record of the range sweep (TSweepProgress, TSweepMiss), posted as the task's events are.
const int msgSweepProgress = QEvent::registerEventType();
const int msgSweepMiss = QEvent::registerEventType();
template <class TRecord>
class TSweepMessage : public QEvent {
 public:
  TSweepMessage(int AType, TRecord ARecord)
      : QEvent(static_cast<QEvent::Type>(AType)), Record(std::move(ARecord)) {}
  TRecord Record;
};

}  // namespace

void TfrmMain::PostLogWriteFailed(const std::string& Path, const std::string& Reason) {
  PostSearchEvent(this, new TLogWriteFailedMessage(Path, Reason));
}

void TfrmMain::AttachTaskHandlers(TSearchDevicesTask& Task) {
  // These run on the worker thread: they touch no control, only build the event records and
  // post them to the window, which owns them from then on.
  Task.OnProgressChanged = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt) {
    PostSearchEvent(this,
                    new TSearchTaskMessage(msgProgressChanged,
                                           std::make_unique<TProgressChangedEventArgs>(Attempt)));
  };
  Task.OnDeviceFound = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                              const TDeviceInfo& DeviceInfo, const TSearchLog& Log) {
    PostSearchEvent(this,
                    new TSearchTaskMessage(msgDeviceFound, std::make_unique<TDeviceFoundEventArgs>(
                                                               Attempt, DeviceInfo, Log.Text())));
  };
  Task.OnSearchError = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                              const Exception& Error, const TSearchLog& Log) {
    auto args = std::make_unique<TSearchErrorEventArgs>(
        Attempt, SearchErrorText(Error, Attempt.ConnectionType), Log.Text(),
        SearchErrorReason(Error));
    args->EndsConnection = Error.Is<EConnectionOpenError>();
    PostSearchEvent(this, new TSearchTaskMessage(msgSearchError, std::move(args)));
  };
  Task.OnSweepProgress = [this](TSearchDevicesTask*, const TSweepProgress& Progress) {
    PostSearchEvent(this, new TSweepMessage<TSweepProgress>(msgSweepProgress, Progress));
  };
  Task.OnSweepMiss = [this](TSearchDevicesTask*, const TSweepMiss& Miss) {
    PostSearchEvent(this, new TSweepMessage<TSweepMiss>(msgSweepMiss, Miss));
  };
  Task.OnSearchFinished = [this](TSearchDevicesTask* Sender, bool Aborted) {
    PostSearchEvent(this, new TSearchFinishedMessage(Aborted, Sender->RunError()));
  };
}

bool TfrmMain::event(QEvent* Event) {
  const int type = static_cast<int>(Event->type());
  if (type == msgProgressChanged || type == msgDeviceFound || type == msgSearchError ||
      type == msgSearchFinished || type == msgLogWriteFailed || type == msgSweepProgress ||
      type == msgSweepMiss) {
    AnnotateTakeOver(Event);
  }
  if (type == msgSweepProgress) {
    const auto& e = static_cast<TSweepMessage<TSweepProgress>&>(*Event);
    RunHandler([&] { HandleSweepProgress(e.Record); });
    return true;
  }
  if (type == msgSweepMiss) {
    const auto& e = static_cast<TSweepMessage<TSweepMiss>&>(*Event);
    RunHandler([&] { HandleSweepMiss(e.Record); });
    return true;
  }
  if (type == msgLogWriteFailed) {
    const auto& e = static_cast<TLogWriteFailedMessage&>(*Event);
    RunHandler([&] { HandleLogWriteFailed(e.Path, e.Reason); });
    return true;
  }
  switch (type) {
    case msgProgressChanged: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleProgress(e.Args<TProgressChangedEventArgs>()); });
      return true;
    }
    case msgDeviceFound: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleDeviceFound(e.Args<TDeviceFoundEventArgs>()); });
      return true;
    }
    case msgSearchError: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleSearchError(e.Args<TSearchErrorEventArgs>()); });
      return true;
    }
    case msgSearchFinished: {
      const auto& e = static_cast<TSearchFinishedMessage&>(*Event);
      RunHandler([&] { HandleSearchFinished(e.Aborted); });
      if (!e.RunError.empty()) RunHandler([&] { HandleRunError(e.RunError); });
      return true;
    }
    default:
      return QWidget::event(Event);
  }
}

void TfrmMain::HandleProgress(const TProgressChangedEventArgs& A) {
  Progress_.AttemptBegun(A);
  // Progress posted before a stop arrives after it: "Поиск остановлен" stays.
  if (Task_ != nullptr && Task_->Aborted()) return;
  // One line per connection being searched when there are several.
  SetProgressText(RunningConnectionsText(Progress_.Running()));
  ShowProgress();
}

void TfrmMain::HandleSweepProgress(const TSweepProgress& Progress) {
  if (Task_ != nullptr && Task_->Aborted()) return;  // as the search's progress
  SetProgressText(SweepProgressText(Progress));
}

void TfrmMain::HandleSweepMiss(const TSweepMiss& Miss) {
  // Nothing was probed there: a line of the protocol and the result log, no attempt log.
  Progress_.SweepMissed();
  ShowProgress();
  ShowProtocolLine(Recorder_->SweepMiss(NowDateTime(), Miss), TProtocolLineKind::plkError);
}

void TfrmMain::HandleDeviceFound(TDeviceFoundEventArgs& A) {
  const TDeviceInfo& d = A.DeviceInfo;
  TFoundDeviceRow row;
  row.Address = d.Address;  // the address the device reported
  row.ConnectionString = ConnectionPointText(A);
  row.ConnecionType = static_cast<int>(A.ConnectionType);
  row.Protocol = FoundProtocolText(A.Protocol, d.ChecksumKind);
  TFoundDeviceCells cells = FoundDeviceCells(A.Protocol, d);
  row.DeviceType = std::move(cells.DeviceType);
  row.SerialNum = cells.SerialNum;
  row.SoftVersion = std::move(cells.SoftVersion);
  const std::string line = Recorder_->DeviceFound(NowDateTime(), A, d, A.SearchLogText);
  // A device found after the error line of its own attempt has its log with that line.
  row.AttemptId = A.SearchLogText.empty() ? Traffic_.FindRecent(A)
                                          : Traffic_.Add(A, std::move(A.SearchLogText));
  FoundDevices_->Append(std::move(row));
  ShowProtocolLine(line, TProtocolLineKind::plkFound, row.AttemptId);
  Progress_.AttemptEnded(A);
  ShowProgress();
}

void TfrmMain::HandleSearchError(TSearchErrorEventArgs& A) {
  const std::vector<std::string> lines =
      Recorder_->SearchError(NowDateTime(), A, A.ErrorText, A.Reason, A.SearchLogText);
  const std::uint64_t attemptId = Traffic_.Add(A, std::move(A.SearchLogText));
  for (const std::string& line : lines)
    ShowProtocolLine(line, TProtocolLineKind::plkError, attemptId);
  if (A.EndsConnection) {
    Progress_.ConnectionEnded(A);
  } else {
    Progress_.AttemptEnded(A);
  }
  ShowProgress();
}

void TfrmMain::HandleLogWriteFailed(const std::string& Path, const std::string& Reason) {
  // Told once per file: the search goes on, and the operator knows the file is incomplete.
  ShowProtocolLine(FormatDateTime("hh:nn:ss.zzz", NowDateTime()) + " " +
                       SafeLogText(Format("Не удалось записать лог %s: %s", {Path, Reason})),
                   TProtocolLineKind::plkError);
}

void TfrmMain::HandleRunError(const std::string& Error) {
  // The run ended early: not a finished search. Said in the label, the protocol list, the
  // result log and a message box.
  SetProgressText("Ошибка поиска");
  ShowProtocolLine(Recorder_->RunError(NowDateTime(), Error), TProtocolLineKind::plkError);
  ShowErrorMessage(RunErrorText(Error));
}

void TfrmMain::HandleSearchFinished(bool Aborted) {
  FinishSearch();
  // After a stop the operator keeps seeing "Поиск остановлен".
  if (!Aborted) SetProgressText("Поиск завершен");
}

}  // namespace probrix
