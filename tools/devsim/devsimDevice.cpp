#include "devsim/devsimDevice.h"

#include <algorithm>

namespace probrix::devsim {

namespace {

constexpr int FirstRegister = 1000;
constexpr int RegisterCount = 10;
constexpr std::size_t RtuRequestSize = 8;  // address, function, 4 data bytes, CRC
// Read Device Identification: function 0x2B with MEI type 0x0E; its request is address,
// function, MEI type, read code, object id and CRC.
constexpr std::uint8_t EncapsulatedInterface = 0x2B;
constexpr std::uint8_t MeiDeviceId = 0x0E;
constexpr std::size_t RtuDeviceIdRequestSize = 7;
// The largest PDU: 253 bytes (function, MEI type and the rest).
constexpr std::size_t MaxPdu = 253;

void PutWord(TBytes& Out, std::uint16_t Value) {
  Out.push_back(static_cast<std::uint8_t>(Value >> 8));
  Out.push_back(static_cast<std::uint8_t>(Value & 0xFF));
}

std::uint16_t WordAt(const TBytes& Data, std::size_t Pos) {
  return static_cast<std::uint16_t>((Data[Pos] << 8) | Data[Pos + 1]);
}

TBytes ModbusException(std::uint8_t Address, std::uint8_t Function, std::uint8_t Code) {
  return TBytes{Address, static_cast<std::uint8_t>(Function | 0x80), Code};
}

// The highest category among the ids: 1 basic (0..2), 2 regular (..0x7F), 3 extended.
std::uint8_t IdCategory(int ObjectId) { return ObjectId <= 2 ? 1 : ObjectId <= 0x7F ? 2 : 3; }

TBytes DeviceIdReplyBody(const TDeviceConfig& Config, std::uint8_t Address, const TBytes& Request) {
  const auto& objects = Config.IdObjects;
  if (objects.empty() || Request.size() < 3 || Request[2] != MeiDeviceId)
    return ModbusException(Address, EncapsulatedInterface, 1);
  if (Request.size() < 5) return ModbusException(Address, EncapsulatedInterface, 3);
  const std::uint8_t code = Request[3];
  const int first = Request[4];
  if (code < 1 || code > 4) return ModbusException(Address, EncapsulatedInterface, 3);

  // Stream access reads the objects of the asked category from the given id on (from the first
  // one when that id does not exist); individual access exactly the one asked for.
  std::vector<std::pair<int, std::string>> chosen;
  if (code == 4) {
    const auto it = objects.find(first);
    if (it == objects.end()) return ModbusException(Address, EncapsulatedInterface, 2);
    chosen.emplace_back(*it);
  } else {
    const bool known = objects.count(first) > 0 && IdCategory(first) <= code;
    for (const auto& [id, value] : objects) {
      if (IdCategory(id) <= code && (!known || id >= first)) chosen.emplace_back(id, value);
    }
  }
  std::uint8_t level = 1;
  for (const auto& entry : objects) level = std::max(level, IdCategory(entry.first));

  TBytes body{Address,
              EncapsulatedInterface,
              MeiDeviceId,
              code,
              static_cast<std::uint8_t>(0x80 | level),
              0x00,
              0x00,
              0x00};
  std::size_t sent = 0;
  for (const auto& [id, value] : chosen) {
    const std::string text = value.substr(0, 255);
    const bool full =
        Config.IdObjectsPerReply > 0 && sent == static_cast<std::size_t>(Config.IdObjectsPerReply);
    if (full || body.size() - 1 + 2 + text.size() > MaxPdu) {
      body[5] = 0xFF;  // more follows, from this object on
      body[6] = static_cast<std::uint8_t>(id);
      break;
    }
    body.push_back(static_cast<std::uint8_t>(id));
    body.push_back(static_cast<std::uint8_t>(text.size()));
    body.append(text.begin(), text.end());
    ++sent;
  }
  body[7] = static_cast<std::uint8_t>(sent);
  return body;
}

}  // namespace

bool IsLineFormat(std::string_view Text) {
  return Text.size() == 3 && Text[0] == '8' &&
         (Text[1] == 'N' || Text[1] == 'E' || Text[1] == 'O') && (Text[2] == '1' || Text[2] == '2');
}

bool UsesMbap(TDeviceKind Kind, bool Serial) {
  return Kind == TDeviceKind::dkModbusTcp || (Kind == TDeviceKind::dkModbus && !Serial);
}

std::vector<std::uint16_t> ModbusRegisters(const TDeviceConfig& Config) {
  std::vector<std::uint16_t> regs(RegisterCount, 0);
  regs[0] = Config.DeviceType;
  regs[1] = Config.FirmwareVersion;
  regs[2] = Config.ExtraWord1;
  regs[4] = Config.ExtraWord2;
  regs[7] = static_cast<std::uint16_t>(Config.SerialNumber >> 16);
  regs[8] = static_cast<std::uint16_t>(Config.SerialNumber & 0xFFFF);
  return regs;
}

TBytes OrvatbusReply(const TDeviceConfig& Config, const TBytes& RequestBody) {
  if (RequestBody.size() < 3) return {};
  const int destination = OrvatbusDecodeAddress(RequestBody[0]);
  if (destination != Config.Address && destination != OrvatbusBroadcastAddress) return {};

  const int own = Config.ReplyAddress >= 0 ? Config.ReplyAddress : Config.Address;
  TBytes body;
  body.push_back(RequestBody[1]);  // the master's address, as it sent it
  body.push_back(OrvatbusEncodeAddress(own, Config.SourceFlag));
  const std::uint8_t command = RequestBody[2];
  if (command != OrvatbusIdentify || Config.Error == TOrvatbusError::oeUnknownCommand) {
    body.push_back(OrvatbusUnknownCommand);
  } else if (Config.Error == TOrvatbusError::oeBusy ||
             Config.Error == TOrvatbusError::oeBadParams) {
    body.push_back(static_cast<std::uint8_t>(OrvatbusIdentify | 0x80));
    body.push_back(Config.Error == TOrvatbusError::oeBusy ? 6 : 2);
  } else {
    body.push_back(OrvatbusIdentify);
    PutWord(body, Config.ExtraWord1);
    body.push_back(Config.DeviceType);
    PutWord(body, Config.ExtraWord2);
    PutWord(body, Config.FirmwareVersion);
    PutWord(body, static_cast<std::uint16_t>(Config.SerialNumber & 0xFFFF));
    body.push_back(Config.ExtraByte);
  }
  const TChecksum kind = Config.ReplyChecksum < 0    ? Config.Checksum
                         : Config.ReplyChecksum == 1 ? TChecksum::ckCrc8
                                                     : TChecksum::ckCrc1;
  return OrvatbusPack(body, kind, Config.Behaviour.BadCrc);
}

bool AnswersUnit(const TDeviceConfig& Config, int Unit) {
  return Unit == Config.Address || Config.AnyUnit;
}

TBytes ForeignRtuFrame(const TDeviceConfig& Config) {
  if (Config.ForeignFunction < 0) return {};
  const int address = Config.ForeignAddress >= 0 ? Config.ForeignAddress : Config.Address + 1;
  const auto function = static_cast<std::uint8_t>(Config.ForeignFunction);
  TBytes body{static_cast<std::uint8_t>(address), function};
  switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0C:
    case 0x11:
    case 0x14:
    case 0x15:
    case 0x17:
      body += TBytes{0x04, 0x11, 0x22, 0x33, 0x44};
      break;
    default:
      if (function & 0x80) {
        body.push_back(0x01);
      } else {
        body += TBytes{0x05, 0x06, 0x07, 0x08, 0x09};
      }
  }
  return ModbusRtuFrame(body);
}

TBytes ModbusReplyBody(const TDeviceConfig& Config, const TBytes& RequestBody) {
  if (RequestBody.size() < 2 || !AnswersUnit(Config, RequestBody[0])) return {};
  const std::uint8_t address =
      static_cast<std::uint8_t>(Config.ReplyAddress >= 0 ? Config.ReplyAddress : RequestBody[0]);
  const std::uint8_t function = RequestBody[1];
  if (Config.ExceptionCode > 0) {
    return ModbusException(address, function, static_cast<std::uint8_t>(Config.ExceptionCode));
  }
  if (function == EncapsulatedInterface) return DeviceIdReplyBody(Config, address, RequestBody);
  if (function != 3) return ModbusException(address, function, 1);
  if (RequestBody.size() < 6) return ModbusException(address, function, 3);
  const int start = WordAt(RequestBody, 2);
  const int count = WordAt(RequestBody, 4);
  if (count < 1 || count > 125) return ModbusException(address, function, 3);
  if (Config.OtherMaker || start < FirstRegister || start + count > FirstRegister + RegisterCount) {
    return ModbusException(address, function, 2);
  }
  const int sent = Config.ReplyRegisters >= 0 ? std::min(Config.ReplyRegisters, 125) : count;
  const auto regs = ModbusRegisters(Config);
  TBytes body{address,
              static_cast<std::uint8_t>(Config.ReplyFunction >= 0 ? Config.ReplyFunction : 3),
              static_cast<std::uint8_t>(2 * sent)};
  for (int i = 0; i < sent; ++i) {
    const int index = start - FirstRegister + i;
    PutWord(body, index < RegisterCount ? regs[index] : 0);
  }
  return body;
}

void TDeviceListener::Feed(const TDeviceConfig& Config, bool Serial, const std::uint8_t* Data,
                           std::size_t Count, std::vector<TBytes>& Replies, std::size_t& Requests) {
  if (Config.Kind == TDeviceKind::dkOrvatAscii) return;
  // Keep only the newest bytes: a request never comes near this size.
  if (Count >= MaxPending) {
    Buffer_.assign(Data + Count - MaxPending, Data + Count);
  } else {
    if (Buffer_.size() + Count > MaxPending) Buffer_.erase(0, Buffer_.size() + Count - MaxPending);
    Buffer_.append(Data, Count);
  }
  if (Config.Kind == TDeviceKind::dkOrvatbus) {
    FeedOrvatbus(Config, Replies, Requests);
  } else if (UsesMbap(Config.Kind, Serial)) {
    FeedMbap(Config, Replies, Requests);
  } else {
    FeedRtu(Config, Replies, Requests);
  }
}

void TDeviceListener::Gap(const TDeviceConfig& Config, bool Serial, std::vector<TBytes>& Replies,
                          std::size_t& Requests) {
  // In RTU a silent interval ends a frame: a request of a length other than the usual eight
  // bytes (an unknown function) is recognised here.
  if (!Buffer_.empty() && Config.Kind != TDeviceKind::dkOrvatbus &&
      Config.Kind != TDeviceKind::dkOrvatAscii && !UsesMbap(Config.Kind, Serial) &&
      Buffer_.size() >= 4) {
    const std::size_t n = Buffer_.size();
    if (ModbusCrc16(Buffer_.data(), n - 2) == (Buffer_[n - 2] | (Buffer_[n - 1] << 8))) {
      AnswerRtu(Config, Buffer_.substr(0, n - 2), Replies, Requests);
    }
  }
  Buffer_.clear();
}

void TDeviceListener::FeedOrvatbus(const TDeviceConfig& Config, std::vector<TBytes>& Replies,
                                   std::size_t& Requests) {
  for (;;) {
    const auto soh = Buffer_.find(OrvatbusSoh);
    if (soh == TBytes::npos) {
      Buffer_.clear();
      return;
    }
    Buffer_.erase(0, soh);
    // A packed frame holds SOH only at its start: a second one starts a new frame.
    const auto etx = Buffer_.find(OrvatbusEtx, 1);
    const auto nextSoh = Buffer_.find(OrvatbusSoh, 1);
    if (nextSoh != TBytes::npos && (etx == TBytes::npos || nextSoh < etx)) {
      Buffer_.erase(0, nextSoh);
      continue;
    }
    if (etx == TBytes::npos) return;
    const TBytes frame = Buffer_.substr(0, etx + 1);
    Buffer_.erase(0, etx + 1);
    const auto body = OrvatbusUnpack(frame, Config.Checksum);
    if (!body || body->size() < 3) continue;
    const int destination = OrvatbusDecodeAddress((*body)[0]);
    if (destination != Config.Address && destination != OrvatbusBroadcastAddress) continue;
    ++Requests;
    TBytes reply = OrvatbusReply(Config, *body);
    if (!reply.empty()) Replies.push_back(std::move(reply));
  }
}

bool TDeviceListener::AnswerRtu(const TDeviceConfig& Config, const TBytes& Body,
                                std::vector<TBytes>& Replies, std::size_t& Requests) {
  // Address 0 is the broadcast address of RTU: nobody answers it.
  if (Body.empty() || Body[0] == 0 || !AnswersUnit(Config, Body[0])) return false;
  ++Requests;
  const TBytes reply = ModbusReplyBody(Config, Body);
  if (!reply.empty()) Replies.push_back(ModbusRtuFrame(reply, Config.Behaviour.BadCrc));
  return true;
}

void TDeviceListener::FeedRtu(const TDeviceConfig& Config, std::vector<TBytes>& Replies,
                              std::size_t& Requests) {
  // Requests of the usual eight bytes (seven for a device identification request) are
  // recognised at once by their CRC, wherever they start; the bytes before one belong to
  // something else on the line.
  std::size_t i = 0;
  while (Buffer_.size() >= i + 2) {
    const std::uint8_t* p = Buffer_.data() + i;
    const std::size_t size =
        p[1] == EncapsulatedInterface ? RtuDeviceIdRequestSize : RtuRequestSize;
    if (Buffer_.size() < i + size) break;
    if (ModbusCrc16(p, size - 2) == (p[size - 2] | (p[size - 1] << 8))) {
      const TBytes body = Buffer_.substr(i, size - 2);
      Buffer_.erase(0, i + size);
      i = 0;
      AnswerRtu(Config, body, Replies, Requests);
    } else {
      ++i;
    }
  }
}

void TDeviceListener::FeedMbap(const TDeviceConfig& Config, std::vector<TBytes>& Replies,
                               std::size_t& Requests) {
  while (Buffer_.size() >= 7) {
    const std::uint16_t protocol = WordAt(Buffer_, 2);
    const std::uint16_t length = WordAt(Buffer_, 4);
    if (protocol != 0 || length < 2 || length > 254) {
      // Not a header: slide on until something plausible starts.
      Buffer_.erase(0, 1);
      continue;
    }
    if (Buffer_.size() < 6u + length) return;
    const std::uint16_t transaction = WordAt(Buffer_, 0);
    const TBytes body = Buffer_.substr(6, length);
    Buffer_.erase(0, 6u + length);
    if (!AnswersUnit(Config, body[0])) continue;
    ++Requests;
    const TBytes reply = ModbusReplyBody(Config, body);
    if (!reply.empty()) {
      Replies.push_back(ModbusTcpFrame(reply, transaction, Config.Behaviour.MbapLengthField));
    }
  }
}

}  // namespace probrix::devsim
