#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/appClasses.h"
#include "foundation/appDateTime.h"
#include "foundation/appLogStrings.h"
#include "foundation/appSysUtils.h"

namespace probrix {

// The in-memory protocol of one attempt; lines are "hh:nn:ss.zzz <text>", the text with its
// control characters and ill-formed bytes escaped (SafeLogText): one line stays one line.
class TSearchLog : public TManualInterfacedObject, public ILogStrings {
 public:
  TSearchLog() = default;

  void Add(std::string_view Text, TDateTime Time) override;
  void AddFmt(std::string_view Fmt, TFormatArgs Args, TDateTime Time) override;
  void Clear() { Lines_.clear(); }

  const std::vector<std::string>& Lines() const { return Lines_; }
  // The lines in order, each followed by CR LF.
  std::string Text() const;

 private:
  std::vector<std::string> Lines_;
};

}  // namespace probrix
