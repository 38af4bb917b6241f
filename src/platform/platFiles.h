#pragma once

// Files and folders as the logs and the front ends use them: appending to a file that other
// writers share, testing that a file can be read, the current folder and standard error.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/platError.h"

namespace probrix::platform {

// The step of an append that failed.
enum class TAppendStep : std::uint8_t { asNone = 0, asOpen, asSeek, asWrite };

struct TAppendResult {
  TAppendStep Step = TAppendStep::asNone;
  TOsError Error;
};

// Opens Path for writing (creating it), takes the advisory lock that serialises its writers
// (waiting up to LockWaitMs for another writer's; a file system without locks is written
// unserialised), appends Bytes and closes. A write cut short (a full disk) is taken back, so
// the file keeps no torn line. An empty Path fails at the open as "not found".
TAppendResult AppendToFile(const std::string& Path, std::string_view Bytes, int LockWaitMs);

// Whether the file Path can be opened for reading; the error says why not (a folder is not
// readable as a file: "Is a directory").
TOsError CheckFileReadable(const std::string& Path);

// Makes Folder the process's current folder.
TOsError SetCurrentFolder(const std::string& Folder);

// A file or folder name of the program (UTF-8) as a path of the system, and back (with "/"
// between folders, which Windows takes as well). A path made from a plain std::string reads its
// bytes in the system's narrow encoding, which on Windows is not UTF-8.
inline std::filesystem::path PathOfUtf8(std::string_view Name) {
  return std::filesystem::path(std::u8string(Name.begin(), Name.end()));
}
inline std::string Utf8OfPath(const std::filesystem::path& Path) {
  const std::u8string Name = Path.generic_u8string();
  return std::string(Name.begin(), Name.end());
}

// Writes Text to standard error whole (as far as it takes it). Async-signal-safe.
void WriteStandardError(std::string_view Text) noexcept;

// The debugger output of the program (UTF-8): standard error on Linux, OutputDebugString on
// Windows. Async-signal-safe.
void WriteDebuggerOutput(std::string_view Text) noexcept;

}  // namespace probrix::platform
