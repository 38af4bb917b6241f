#pragma once

// OrvatASCII receiver: a device in continuous-transmission mode sends CR LF ended lines without
// being asked. Received characters gather in an accumulator that outlives a receive; a receive
// returns everything up to and including the last complete CR LF, the rest waits for the next.

#include <array>
#include <cstdint>
#include <memory>

#include "foundation/appTypes.h"
#include "messaging/ioMessageTransceiver.h"

namespace probrix {

class TOrvatAsciiReceiver : public TMessageReceiver {
 public:
  static constexpr std::int32_t ChunkSize = 257;

  TOrvatAsciiReceiver();

  // Returns the complete lines received so far (ending with CR LF). When they are more than
  // Capacity bytes, only the newest complete lines that fit are returned; a single line longer
  // than Capacity raises ECorruptMessageFrame. When a receive starts with an empty accumulator
  // and its first complete line comes alone and shorter than a message body, listening began
  // in the middle of a line: that fragment is logged "<skp" and reading goes on within the same
  // ReadTimeout (a second short line is returned, for the searcher to reject).
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;

  // 1-based position of the CR of the last CR LF pair in Text, or 0.
  static std::int32_t FindLastCrLf(const TBytes& Text);
  // Cuts everything up to and including the last CR LF out of Accumulator and returns it
  // without leading CR and LF characters; empty (Accumulator unchanged) when there is none.
  static TBytes ExtractMessage(TBytes& Accumulator);

  const TBytes& Accumulator() const { return Accumulator_; }

 private:
  TBytes Accumulator_;
  std::array<std::uint8_t, ChunkSize> ChunkBuffer_{};
};

class TOrvatAsciiSender : public TMessageSender {};

class TOrvatAsciiTransceiver : public TMessageTransceiver {
 public:
  explicit TOrvatAsciiTransceiver(std::shared_ptr<IDeviceConnection> Connection);

 protected:
  std::unique_ptr<TMessageSender> CreateSender() override;
  std::unique_ptr<TMessageReceiver> CreateReceiver() override;
};

}  // namespace probrix
