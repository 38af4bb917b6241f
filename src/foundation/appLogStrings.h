#pragma once

#include <string_view>

#include "foundation/appClasses.h"
#include "foundation/appDateTime.h"
#include "foundation/appSysUtils.h"

namespace probrix {

// The sink of the log lines of one search attempt: the searchers' own lines and the traffic
// lines of the exchange. Holders of the interface never free it.
class ILogStrings : public virtual IInterface {
 public:
  virtual void Add(std::string_view Text, TDateTime Time) = 0;
  // Formats, then adds; a format that does not fit raises ELogStringFormatError, adding nothing.
  virtual void AddFmt(std::string_view Fmt, TFormatArgs Args, TDateTime Time) = 0;

 protected:
  ~ILogStrings() = default;
};

}  // namespace probrix
