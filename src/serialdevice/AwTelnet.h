#pragma once
// Telnet framing for network serial lines: data bytes escaped both ways,
// option negotiation answered, subnegotiations collected however the bytes
// are split across reads. Nothing here touches a socket.
//
// Thread contract: a plain value; one thread at a time (the device holds a
// lock of its own around it).

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

namespace telnet {
inline constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                         SE = 240;
inline constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
}  // namespace telnet

// One subnegotiation the other side sent: IAC SB Option Payload IAC SE.
struct TTelnetSubnegotiation {
  uint8_t Option = 0;
  std::vector<uint8_t> Payload;
};

class TApdTelnetCodec {
 public:
  // Options we offer to do ourselves and ask the other side to do.
  TApdTelnetCodec(std::vector<uint8_t> ownOptions, std::vector<uint8_t> peerOptions);

  // The requests we open with: WILL for each own option, DO for each peer one.
  std::vector<uint8_t> Requests();

  // Data for the wire: 0xFF doubled; CR followed by NUL while our side is
  // not in binary mode.
  void EncodeData(const uint8_t* data, int n, std::vector<uint8_t>& wire) const;
  // IAC SB option payload IAC SE, with 0xFF in the payload doubled.
  static std::vector<uint8_t> Subnegotiation(uint8_t option, const std::vector<uint8_t>& payload);

  // Takes bytes from the wire: data goes to `data`, negotiation answers to
  // `answers` (to be sent back), completed subnegotiations to `received`.
  void Decode(const uint8_t* wire, int n, std::vector<uint8_t>& data, std::vector<uint8_t>& answers,
              std::vector<TTelnetSubnegotiation>& received);

  // Whether an option is in force on our side (WILL) or the other's (DO).
  bool OwnEnabled(uint8_t option) const { return Own_[option] == kOn; }
  bool PeerEnabled(uint8_t option) const { return Peer_[option] == kOn; }
  // True once the other side has answered our request for `option` either way.
  bool OwnAnswered(uint8_t option) const { return Own_[option] == kOn || Own_[option] == kOff; }
  bool OwnRefused(uint8_t option) const { return Refused_[option]; }

 private:
  enum TOptionState : uint8_t { kOff, kOn, kAsked };
  enum TState : uint8_t { sData, sIac, sVerb, sSbOption, sSbData, sSbIac };

  void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers);

  std::vector<bool> OwnWanted_ = std::vector<bool>(256, false);
  std::vector<bool> PeerWanted_ = std::vector<bool>(256, false);
  std::vector<TOptionState> Own_ = std::vector<TOptionState>(256, kOff);
  std::vector<TOptionState> Peer_ = std::vector<TOptionState>(256, kOff);
  std::vector<bool> Refused_ = std::vector<bool>(256, false);

  TState State_ = sData;
  uint8_t Verb_ = 0;
  bool AfterCr_ = false;  // the last data byte was a CR
  TTelnetSubnegotiation Sb_;
};

}  // namespace kestrel
