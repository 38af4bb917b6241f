#pragma once

// A pseudo-terminal pair for serial-port tests: the port under test opens the slave by its
// path, the test plays the device on the master side.

#include <chrono>
#include <cstdint>
#include <string>

#include "foundation/appTypes.h"

namespace probrix::test {

class TTestPty {
 public:
  TTestPty();
  ~TTestPty();
  TTestPty(const TTestPty&) = delete;
  TTestPty& operator=(const TTestPty&) = delete;

  const std::string& SlavePath() const { return SlavePath_; }
  // The device side, for a peer that does its own reads and writes.
  int MasterFd() const { return Master_; }
  // Writes all of Data to the master side.
  void Write(const TBytes& Data);
  // Reads from the master side until Count bytes arrived or the deadline passed.
  TBytes Read(std::size_t Count, std::chrono::milliseconds Deadline = std::chrono::seconds(5));
  // The device goes away: the slave side sees a hang-up.
  void CloseMaster();
  // The output baud rate programmed on the slave side.
  std::uint32_t SlaveSpeed() const;
  // Whether the slave side is in raw mode without echo.
  bool SlaveIsRaw() const;
  // Puts the slave side in raw mode, as a port that was used before: bytes written to the
  // master side then wait there unchanged, without an echo back to the device.
  void MakeSlaveRaw();
  // Whether the terminal refuses further opens (TIOCEXCL), whoever set it.
  bool SlaveIsExclusive() const;

 private:
  int Master_ = -1;
  int Slave_ = -1;
  std::string SlavePath_;
};

// Another program on the line: a child process that opens the slave side of a TTestPty by its
// path and keeps it until the object goes. With KeepMaster it also keeps the master side, as a
// simulator does; with Exclusive it makes the terminal exclusive. Name is its program name.
class TPtyHolderProcess {
 public:
  static constexpr const char* ProgramName = "probrixholder";

  TPtyHolderProcess(const TTestPty& Pty, bool KeepMaster, bool Exclusive,
                    const char* Name = ProgramName);
  ~TPtyHolderProcess();
  TPtyHolderProcess(const TPtyHolderProcess&) = delete;
  TPtyHolderProcess& operator=(const TPtyHolderProcess&) = delete;
  int Pid() const { return Pid_; }

 private:
  void End();

  int Pid_ = -1;
  int Stop_ = -1;  // the child ends when this pipe closes
};

}  // namespace probrix::test
