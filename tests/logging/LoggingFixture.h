#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "LogTestUtils.h"
#include "foundation/appLogging.h"
#include "support/TestSupport.h"

namespace probrix::test {

// Starts the logging facility for a pretend program file in a temporary folder, with a clock
// the test controls; restores the current directory and shuts the facility down afterwards.
class LoggingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    OldCwd_ = std::filesystem::current_path();
    Program = std::filesystem::weakly_canonical(Temp.Path()) / "bin" / "tool";
    std::filesystem::create_directories(Program.parent_path());
    std::ofstream(Program) << "";
  }

  void TearDown() override {
    FinalizeLogging();
    std::filesystem::current_path(OldCwd_);
  }

  void Start(std::function<bool(const std::string&)> Writable = {}) {
    TLoggingOptions options;
    options.Argv0 = Program.string();
    options.ModulePathOverride = Program.string();
    options.Clock = Clock.Clock();
    options.IsFolderWritable = std::move(Writable);
    InitializeLogging(options);
  }

  void WriteDebugIni(const std::filesystem::path& Path, const std::string& Body) {
    std::filesystem::create_directories(Path.parent_path());
    std::ofstream(Path, std::ios::binary) << "[Debug]\r\n" << Body;
  }

  std::filesystem::path BinDir() const { return Program.parent_path(); }
  // The folder of the fake clock's day.
  std::filesystem::path DayDir() const { return BinDir() / "Logs" / "2026_12_07"; }

  TTempDir Temp;
  TFakeClock Clock;
  std::filesystem::path Program;

 private:
  std::filesystem::path OldCwd_;
};

}  // namespace probrix::test
