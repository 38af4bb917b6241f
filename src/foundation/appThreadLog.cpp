#include "foundation/appThreadLog.h"

#include <map>

#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "platform/platCrashSignals.h"

namespace probrix {

namespace {

constexpr char LineEnd[] = "\r\n";

// The shared logger. Never destroyed: the error hooks may log while the process is being torn
// down.
struct TSharedLogger {
  std::mutex Lock;
  std::unique_ptr<TThreadLogger> Logger;
};
TSharedLogger& Shared() {
  static TSharedLogger* shared = new TSharedLogger();
  return *shared;
}

std::string TrimRightBlanks(std::string Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ') Text.pop_back();
  return Text;
}

void DefaultFlush(const std::string& Text, const std::string& Target, bool IsFile) {
  if (IsFile) {
    if (std::string reason = AppendLogFile(Text, Target, false); !reason.empty())
      throw EInOutError(std::move(reason));
  } else if (!Target.empty()) {
    WriteAppLogNamed(Text, Target, false);
  } else {
    WriteAppLog(Text, false);
  }
}

}  // namespace

TThreadLogger::TThreadLogger(TFlushProc Flush)
    : Flush_(Flush ? std::move(Flush) : TFlushProc(DefaultFlush)) {
  Thread_ = std::thread(platform::WithSignalStack([this] { Execute(); }));
}

TThreadLogger::~TThreadLogger() {
  {
    std::lock_guard guard(Lock_);
    Terminated_ = true;
  }
  DataReadyEvent_.notify_all();
  if (Thread_.joinable()) Thread_.join();
  // Lines queued after the worker's last look are written here rather than dropped.
  std::vector<std::unique_ptr<TLogData>> rest;
  {
    std::lock_guard guard(Lock_);
    rest.swap(Queue_);
  }
  WriteBatch(rest);
}

void TThreadLogger::Add(const std::string& Text, const std::string& Target, bool IsFile,
                        bool AddTime, TLogWriteFailed OnFailure) {
  auto data = std::make_unique<TLogData>();
  data->Text = AddTime ? FormatDateTime("hh:nn:ss.zzz ", AppLogNow()) + Text : Text;
  data->Target = Target;
  data->IsFile = IsFile;
  data->OnFailure = std::move(OnFailure);
  bool wake = false;
  {
    std::lock_guard guard(Lock_);
    Queue_.push_back(std::move(data));
    // One wake-up per batch: a worker that is writing or gathering takes this line with the
    // others.
    wake = Waiting_ && !DataReady_;
    DataReady_ = true;
  }
  if (wake) DataReadyEvent_.notify_one();
}

void TThreadLogger::Execute() {
  for (;;) {
    std::vector<std::unique_ptr<TLogData>> batch;
    {
      std::unique_lock lock(Lock_);
      if (Paced_ > 0) {
        if (Terminated_ && !DataReady_) return;
        // While a search runs the worker looks every PacedGatherTime instead of being woken by
        // the first line of each batch, and writes what gathered since its last look: no
        // producer pays for a wake-up, and the worker for one wait per look.
        if (!Hurry_ && !Terminated_)
          DataReadyEvent_.wait_for(lock, PacedGatherTime,
                                   [this] { return Hurry_ || Terminated_ || Paced_ == 0; });
        if (!DataReady_) continue;
      } else if (!DataReady_) {
        if (Terminated_) return;
        // The periodic wake-up keeps the termination check alive even without a signal.
        Waiting_ = true;
        DataReadyEvent_.wait_for(lock, std::chrono::milliseconds(100),
                                 [this] { return DataReady_ || Terminated_; });
        Waiting_ = false;
        if (!DataReady_) continue;
        // Lines keep coming (the last batch was a moment ago): the ones that follow this one
        // join its batch.
        if (Paced_ == 0 && std::chrono::steady_clock::now() - LastBatch_ < 2 * BatchGatherTime)
          DataReadyEvent_.wait_for(lock, BatchGatherTime, [this] { return Hurry_ || Terminated_; });
      }
      batch.swap(Queue_);
      DataReady_ = false;
      Hurry_ = false;
      Writing_ = true;
      LastBatch_ = std::chrono::steady_clock::now();
    }
    WriteBatch(batch);
    {
      std::lock_guard lock(Lock_);
      Writing_ = false;
    }
    IdleEvent_.notify_all();
  }
}

void TThreadLogger::BeginPacedBatches() {
  std::lock_guard guard(Lock_);
  ++Paced_;
}

void TThreadLogger::EndPacedBatches() {
  {
    std::lock_guard guard(Lock_);
    if (Paced_ == 0) return;
    if (--Paced_ > 0) return;
  }
  // A batch that gathers goes out now.
  DataReadyEvent_.notify_all();
}

void TThreadLogger::Flush() {
  std::unique_lock lock(Lock_);
  if (!Queue_.empty()) {
    Hurry_ = true;
    DataReadyEvent_.notify_all();
  }
  IdleEvent_.wait(lock, [this] { return Queue_.empty() && !Writing_; });
}

void TThreadLogger::WriteBatch(std::vector<std::unique_ptr<TLogData>>& Batch) {
  try {
    // Targets in ascending order, each with the flag of the first entry naming it and its
    // lines in arrival order.
    struct TGroup {
      bool IsFile = false;
      std::string Text;
      bool Any = false;
      std::vector<const TLogWriteFailed*> OnFailure;
    };
    std::map<std::string, TGroup> groups;
    for (const auto& data : Batch) {
      auto [it, inserted] = groups.try_emplace(data->Target);
      TGroup& g = it->second;
      if (inserted) g.IsFile = data->IsFile;
      if (g.Any) g.Text += LineEnd;
      g.Text += data->Text;
      g.Any = true;
      if (data->OnFailure) g.OnFailure.push_back(&data->OnFailure);
    }
    for (auto& [target, group] : groups) {
      // One failing target does not cost the others their lines.
      std::string reason;
      try {
        Flush_(TrimRightBlanks(std::move(group.Text)), target, group.IsFile);
        continue;
      } catch (const std::exception& E) {
        reason = E.what();
      } catch (...) {
        reason = "unknown";
      }
      for (const TLogWriteFailed* told : group.OnFailure) {
        try {
          (*told)(target, reason);
        } catch (...) {
        }
      }
    }
  } catch (...) {
  }
  Batch.clear();
}

TThreadLogger& ThreadLogger() {
  TSharedLogger& s = Shared();
  std::lock_guard guard(s.Lock);
  if (!s.Logger) s.Logger = std::make_unique<TThreadLogger>();
  return *s.Logger;
}

void WriteThreadLog(const std::string& Text, const std::string& Path, bool AddTime,
                    TLogWriteFailed OnFailure) noexcept {
  std::string line;
  try {
    line = AddTime ? FormatDateTime("hh:nn:ss.zzz ", AppLogNow()) + Text : Text;
    TSharedLogger& s = Shared();
    std::lock_guard guard(s.Lock);
    if (!s.Logger) s.Logger = std::make_unique<TThreadLogger>();
    s.Logger->Add(line, Path, true, false, OnFailure);
  } catch (...) {
    // Without a worker (no thread could be started) the line is written here.
    const std::string reason = AppendLogFile(line, Path, false);
    try {
      if (!reason.empty() && OnFailure) OnFailure(Path, reason);
    } catch (...) {
    }
  }
}

void FlushThreadLog() noexcept {
  try {
    TSharedLogger& s = Shared();
    TThreadLogger* logger = nullptr;
    {
      // Not held while waiting: a failure handler on the worker may queue a line itself.
      std::lock_guard guard(s.Lock);
      logger = s.Logger.get();
    }
    if (logger != nullptr) logger->Flush();
  } catch (...) {
  }
}

void BeginThreadLogPacing() noexcept {
  try {
    TSharedLogger& s = Shared();
    std::lock_guard guard(s.Lock);
    if (!s.Logger) s.Logger = std::make_unique<TThreadLogger>();
    s.Logger->BeginPacedBatches();
  } catch (...) {
    // Without a worker the lines are written one by one as they come.
  }
}

void EndThreadLogPacing() noexcept {
  TSharedLogger& s = Shared();
  std::lock_guard guard(s.Lock);
  if (s.Logger) s.Logger->EndPacedBatches();
}

void StopThreadLog() {
  std::unique_ptr<TThreadLogger> logger;
  {
    TSharedLogger& s = Shared();
    std::lock_guard guard(s.Lock);
    logger = std::move(s.Logger);
  }
  logger.reset();
}

}  // namespace probrix
