#include "cli/cliRunner.h"

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include "cli/cliOutput.h"
#include "connections/uSerialPort.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "foundation/utilitySystemTime.h"
#include "platform/platFiles.h"
#include "search/uFinderEngine.h"
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
  std::set<std::string> UnwritableLogs;  // each warned about once
  bool ResultLogIncomplete = false;
  TAttemptLogNames AttemptLogs;
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
  } catch (const Exception& E) {
    Err << "probrix-cli: " << E.Message << "\n";
    return 2;
  }

  const std::filesystem::path folder =
      platform::PathOfUtf8(O.LogDir.empty() ? GetAppLogFolder() : O.LogDir);
  const std::string resultLog =
      platform::Utf8OfPath(folder / platform::PathOfUtf8(ResultLogFileName(SystemTime().Now())));
  const bool json = O.Json;
  const bool saveAttempts = O.SaveSearchLogs;
  // Without attempt logs nobody reads the exchanges' traffic lines: they are not even made.
  task->LogTraffic = saveAttempts;
  TRunState state;

  // Runs on the log writer's thread: a file that cannot be written is a warning, once per
  // file; the search goes on.
  const TLogWriteFailed logFailed = [&](const std::string& Path, const std::string& Reason) {
    std::lock_guard lock(state.Mutex);
    if (Path == resultLog) state.ResultLogIncomplete = true;
    if (!state.UnwritableLogs.insert(Path).second) return;
    Err << "probrix-cli: warning: cannot write the log '" << SafeLogText(Path) << "': " << Reason
        << "\n";
    Err.flush();
  };

  // Both handlers run on a worker thread, one event at a time: print, queue the log lines,
  // remember the row. The JSON line is made only for JSON output.
  auto report = [&](const std::vector<std::string>& TextLines, const std::string& JsonLine,
                    const std::string& ConnectionName, std::int32_t BaudRateOrPort,
                    TDeviceProtocol Protocol, std::uint8_t Address, const TSearchLog& Log) {
    bool outputLost = false;
    std::string attemptLog;
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
      // A device found after the error line of its own attempt brings no log of its own.
      if (saveAttempts && !Log.Lines().empty())
        attemptLog = state.AttemptLogs.Next(SystemTime().Now(), ConnectionName, BaudRateOrPort,
                                            Protocol, Address);
    }
    for (const std::string& line : TextLines) WriteThreadLog(line, resultLog, false, logFailed);
    if (!attemptLog.empty())
      WriteThreadLog(Log.Text(), platform::Utf8OfPath(folder / platform::PathOfUtf8(attemptLog)),
                     false, logFailed);
    // Nobody reads the output any more: the search ends here, its lines so far logged.
    if (outputLost) task->Stop();
  };

  task->OnDeviceFound = [&](TSearchDevicesTask*, const std::string& ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            TConnectionType ConnectionType, std::uint8_t Address,
                            const TDeviceInfo& Info, const TSearchLog& Log) {
    const TFoundDevice device{ConnectionName, BaudRateOrPort, ConnectionType,
                              Protocol,       Address,        Info};
    report({DeviceFoundLine(SystemTime().Now(), ConnectionName, BaudRateOrPort, Protocol,
                            ConnectionType, Address, Info)},
           json ? FoundJson(device) : std::string(), ConnectionName, BaudRateOrPort, Protocol,
           Address, Log);
    std::lock_guard lock(state.Mutex);
    state.Found.push_back(device);
  };
  task->OnSearchError = [&](TSearchDevicesTask*, const std::string& ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            TConnectionType ConnectionType, std::uint8_t Address,
                            const Exception& Error, const TSearchLog& Log) {
    const std::string text = SearchErrorText(Error, ConnectionType);
    const std::string reason = SearchErrorReason(Error);
    report(SearchErrorLines(SystemTime().Now(), ConnectionName, BaudRateOrPort, Protocol,
                            ConnectionType, Address, text, reason),
           json ? ErrorJson(ConnectionName, BaudRateOrPort, ConnectionType, Protocol, Address, text,
                            Error.ClassName(), reason)
                : std::string(),
           ConnectionName, BaudRateOrPort, Protocol, Address, Log);
    std::lock_guard lock(state.Mutex);
    ++state.Errors;
  };
  // An address of a range that accepted no connection: one line, no attempt and no attempt log.
  task->OnSweepMiss = [&](TSearchDevicesTask*, const TSweepMiss& Miss) {
    report({SweepMissLine(SystemTime().Now(), Miss)}, json ? SweepMissJson(Miss) : std::string(),
           Miss.Host, Miss.Port, TDeviceProtocol::dpModbusTcp, 0, TSearchLog());
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
    WriteThreadLog(RunErrorLine(SystemTime().Now(), state.RunError), resultLog, false, logFailed);
    if (json) Out << FatalErrorJson(state.RunError) << "\n";
  }
  // The result log is complete only once its last line is on disk.
  FlushThreadLog();

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
  if (state.ResultLogIncomplete) {
    Err << "probrix-cli: the result log '" << SafeLogText(resultLog) << "' is incomplete\n";
    return 3;
  }
  return state.Found.empty() ? 1 : 0;
}

}  // namespace probrix::cli
