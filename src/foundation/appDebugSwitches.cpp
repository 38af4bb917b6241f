#include "foundation/appDebugSwitches.h"

#include "foundation/appIniFiles.h"
#include "foundation/appLogging.h"
#include "foundation/appProgramFolders.h"
#include "platform/platFiles.h"
#include "platform/platProcess.h"

namespace probrix {

namespace {

constexpr char LineEnd[] = "\r\n";

// Never destroyed: the error hooks may log while the process is being torn down.
TDebugSwitches& Switches() {
  static TDebugSwitches* switches = new TDebugSwitches();
  return *switches;
}

}  // namespace

const TDebugSwitches& DebugSwitches() { return Switches(); }

void LoadDebugSwitches(const std::string& DebugIniFileName) {
  TDebugSwitches& s = Switches();
  s = TDebugSwitches();
  try {
    const TIniFile ini(DebugIniFileName);
    auto flag = [&](const char* Key) { return ini.ReadInteger("Debug", Key, 0) != 0; };
    s.DebugMode = flag("DebugMode");
    s.ShowTime = flag("ShowTime");
    s.ShowModuleName = flag("ShowModuleName");
    s.ShowThreadID = flag("ShowThreadID");
    s.DebugLog = flag("DebugLog");
  } catch (...) {
    s = TDebugSwitches();
  }
}

void DebugOutput(const std::string& Text) noexcept {
  try {
    const TDebugSwitches& s = Switches();
    if (!s.DebugMode) return;
    std::string line;
    if (s.ShowTime) line += FormatDateTime("hh:nn:ss:zzz ", AppLogNow());
    if (s.ShowModuleName) line += "[" + ModuleName() + "] ";
    if (s.ShowThreadID) line += Format("[0x%.8x] ", {platform::CurrentThreadId()});
    line += Text;
    line += LineEnd;
    platform::WriteDebuggerOutput(line);
  } catch (...) {
  }
}

}  // namespace probrix
