#pragma once

// The work per exchange of probrix-cli beside a bare libmodbus loop on the same simulated
// devices, each figure a ratio of the two measured in the same repetition.

#include <cstdint>
#include <string>

namespace probrix::bench {

struct TPeerEndpoints {
  std::uint16_t AnsweringServer = 0;  // Modbus TCP units 1..Units
  std::uint16_t SilentServer = 0;     // accepts and never answers
  std::string AnsweringPort;          // Modbus RTU devices 1..Units, bytes as fast as they come
  std::string PacedPort;              // Modbus RTU devices 1..Units, bytes at the line's rate
  int Units = 0;
};

// Runs the comparisons and prints their RESULT lines. Repeats: repetitions of the long
// figures (silent units, the paced line); the short ones run at least five times.
void ComparePeers(const TPeerEndpoints& E, int Repeats);

// The libmodbus loop alone over Count silent units of the server at Port with a 10 ms timeout,
// for a child process whose system calls strace counts (bench_search silent-loop PORT COUNT).
// Returns the exit status: 0 when every read timed out.
int RunSilentLoop(std::uint16_t Port, int Count);

}  // namespace probrix::bench
