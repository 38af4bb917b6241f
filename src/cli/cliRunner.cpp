#include "cli/cliRunner.h"

#include <cerrno>
#include <mutex>
#include <system_error>

#include "cli/cliOutput.h"
#include "connections/uSerialPort.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "foundation/utilitySystemTime.h"
#include "search/uFinderEngine.h"
#include "search/uSearchRecorder.h"
#include "search/uSearchReport.h"

namespace probrix::cli {

void TOutputCheck::Check(const std::ostream& Out) {
  if (!Out) Note(errno);
}

void TOutputCheck::Note(int SystemError) {
  if (Lost) return;
  Lost = true;
  Error = SystemError;
}

bool TOutputCheck::Failed() const { return Lost && Error != EPIPE; }

bool TOutputCheck::Report(std::ostream& Err) const {
  if (!Failed()) return false;
  Err << "probrix-cli: cannot write the standard output: "
      << (Error != 0 ? SafeLogText(std::generic_category().message(Error)) : "the write failed")
      << "\n";
  Err.flush();
  return true;
}

namespace {

// Everything the worker thread (and the log writer) hands to the main thread, under one lock.
struct TRunState {
  std::mutex Mutex;
  bool Aborted = false;
  std::string RunError;
  std::vector<TFoundDevice> Found;
  std::size_t Errors = 0;
  TOutputCheck Output;
};

}  // namespace

int RunCli(const TCliOptions& O, std::ostream& Out, std::ostream& Err,
           const platform::TCancelEvent& StopRequested) {
  if (O.ListPorts) {
    std::vector<std::string> names;
    TSerialPort::GetPortNames(names);
    std::vector<TListedPort> ports;
    for (const std::string& name : names) ports.push_back({name, TSerialPort::DescribePort(name)});
    if (O.Json) {
      for (const TListedPort& port : ports) Out << PortJson(port) << "\n";
    } else {
      Out << PortListText(ports);
    }
    Out.flush();
    TOutputCheck output;
    output.Check(Out);
    return output.Report(Err) ? 3 : 0;
  }

  auto task = std::make_unique<TSearchDevicesTask>();
  try {
    FillSearchPlan(*task, O.Choice, CliPlanLimits);
  } catch (const Exception& e) {
    Err << "probrix-cli: " << e.Message << "\n";
    return 2;
  }

  const bool json = O.Json;
  // Without attempt logs nobody reads the exchanges' traffic lines: they are not even made.
  task->LogTraffic = O.SaveSearchLogs;
  task->KeepAttemptLogs = O.SaveSearchLogs;
  TRunState state;

  // Told on the log writer's thread, once per file: a warning; the search goes on.
  TSearchRecorder recorder([&](const std::string& Path, const std::string& Reason) {
    std::lock_guard lock(state.Mutex);
    Err << "probrix-cli: warning: cannot write the log '" << SafeLogText(Path) << "': " << Reason
        << "\n";
    Err.flush();
  });
  recorder.BeginSearch(SystemTime().Now(), O.LogDir.empty() ? GetAppLogFolder() : O.LogDir);
  recorder.SetSaveAttemptLogs(O.SaveSearchLogs);

  // Both handlers run on a worker thread, one event at a time: record, print, remember the
  // row. The JSON line is made only for JSON output.
  const auto print = [&](const std::vector<std::string>& TextLines, const std::string& JsonLine) {
    bool outputLost = false;
    {
      std::lock_guard lock(state.Mutex);
      if (json) {
        Out << JsonLine << "\n";
      } else {
        for (const std::string& line : TextLines) Out << line << "\n";
      }
      Out.flush();
      state.Output.Check(Out);
      outputLost = state.Output.Lost;
    }
    // Nobody reads the output any more: the search ends here, its lines so far logged.
    if (outputLost) task->Stop();
  };

  task->OnDeviceFound = [&](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                            const TDeviceInfo& Info, const TSearchLog& Log) {
    const TFoundDevice device{Attempt, Info};
    const std::string line = recorder.DeviceFound(SystemTime().Now(), Attempt, Info, Log);
    print({line}, json ? FoundJson(device) : std::string());
    std::lock_guard lock(state.Mutex);
    state.Found.push_back(device);
  };
  task->OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                            const Exception& Error, const TSearchLog& Log) {
    const std::string text = SearchErrorText(Error, Attempt.ConnectionType);
    const std::string reason = SearchErrorReason(Error);
    const std::vector<std::string> lines =
        recorder.SearchError(SystemTime().Now(), Attempt, text, reason, Log);
    print(lines, json ? ErrorJson(Attempt, text, Error.ClassName(), reason) : std::string());
    std::lock_guard lock(state.Mutex);
    ++state.Errors;
  };
  // An address of a range that accepted no connection: one line, no attempt and no attempt log.
  task->OnSweepMiss = [&](TSearchDevicesTask*, const TSweepMiss& Miss) {
    print({recorder.SweepMiss(SystemTime().Now(), Miss)},
          json ? SweepMissJson(Miss) : std::string());
  };
  platform::TCancelEvent finished;
  task->OnSearchFinished = [&](TSearchDevicesTask* Sender, bool Aborted) {
    {
      std::lock_guard lock(state.Mutex);
      state.Aborted = Aborted;
      state.RunError = Sender->RunError();
    }
    finished.Set();
  };

  task->Start();
  if (platform::WaitForAny({&finished, &StopRequested}, -1) != 0) task->Stop();
  finished.WaitFor(-1);
  task.reset();  // the worker ends right after its finished event

  // An error that ended the run early is the outcome, not a search that found nothing.
  const bool failed = !state.RunError.empty();
  if (failed) {
    Err << "probrix-cli: " << SafeLogText(RunErrorText(state.RunError)) << "\n";
    recorder.RunError(SystemTime().Now(), state.RunError);
    if (json) Out << FatalErrorJson(state.RunError) << "\n";
  }
  // The result log is complete only once its last line is on disk.
  recorder.EndSearch();
  recorder.Flush();
  const bool resultLogIncomplete = recorder.ResultLogIncomplete();

  if (json) {
    Out << FinishedJson(state.Aborted, state.Found.size(), state.Errors) << "\n";
  } else {
    Out << "\n" << ResultsTable(state.Found);
    Out << (failed          ? "Поиск прерван ошибкой"
            : state.Aborted ? "Поиск остановлен"
                            : "Поиск завершен")
        << "\n";
  }
  Out.flush();
  const int outputError = errno;  // of the write that failed, if one did
  std::lock_guard lock(state.Mutex);
  if (!Out) state.Output.Note(outputError);
  if (failed) return 3;
  if (state.Aborted && StopRequested.IsSet()) return 130;
  if (state.Output.Report(Err)) return 3;
  if (resultLogIncomplete) {
    Err << "probrix-cli: the result log '" << SafeLogText(recorder.ResultLogPath())
        << "' is incomplete\n";
    return 3;
  }
  return state.Found.empty() ? 1 : 0;
}

}  // namespace probrix::cli
