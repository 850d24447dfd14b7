#include "serialdevice/AwTelnet.h"

namespace kestrel {

using namespace telnet;

namespace {

// Subnegotiations longer than this are noise, not a server's answer.
constexpr size_t kLongestSubnegotiation = 512;

}  // namespace

TApdTelnetCodec::TApdTelnetCodec(std::vector<uint8_t> ownOptions,
                                 std::vector<uint8_t> peerOptions) {
  for (uint8_t option : ownOptions) OwnWanted_[option] = true;
  for (uint8_t option : peerOptions) PeerWanted_[option] = true;
}

std::vector<uint8_t> TApdTelnetCodec::Requests() {
  std::vector<uint8_t> out;
  for (int option = 0; option < 256; ++option) {
    if (OwnWanted_[option] && Own_[option] == kOff) {
      out.insert(out.end(), {IAC, WILL, uint8_t(option)});
      Own_[option] = kAsked;
    }
    if (PeerWanted_[option] && Peer_[option] == kOff) {
      out.insert(out.end(), {IAC, DO, uint8_t(option)});
      Peer_[option] = kAsked;
    }
  }
  return out;
}

void TApdTelnetCodec::EncodeData(const uint8_t* data, int n, std::vector<uint8_t>& wire) const {
  const bool binary = OwnEnabled(BINARY);
  for (int i = 0; i < n; ++i) {
    wire.push_back(data[i]);
    if (data[i] == IAC) wire.push_back(IAC);
    if (data[i] == '\r' && !binary) wire.push_back(0);
  }
}

std::vector<uint8_t> TApdTelnetCodec::Subnegotiation(uint8_t option,
                                                     const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out{IAC, SB, option};
  for (uint8_t b : payload) {
    out.push_back(b);
    if (b == IAC) out.push_back(IAC);
  }
  out.insert(out.end(), {IAC, SE});
  return out;
}

// Answers only what changes the state, so two sides never answer answers.
void TApdTelnetCodec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers) {
  const bool aboutPeer = verb == WILL || verb == WONT;
  const bool on = verb == WILL || verb == DO;
  auto& state = aboutPeer ? Peer_[option] : Own_[option];
  const bool wanted = aboutPeer ? PeerWanted_[option] : OwnWanted_[option];
  const uint8_t yes = aboutPeer ? DO : WILL, no = aboutPeer ? DONT : WONT;
  if (on) {
    if (state == kOn) return;
    if (wanted) {
      if (state != kAsked) answers.insert(answers.end(), {IAC, yes, option});
      state = kOn;
    } else {
      answers.insert(answers.end(), {IAC, no, option});
      state = kOff;
    }
    return;
  }
  if (!aboutPeer && state == kAsked) Refused_[option] = true;
  if (state == kOn) answers.insert(answers.end(), {IAC, no, option});
  state = kOff;
}

void TApdTelnetCodec::Decode(const uint8_t* wire, int n, std::vector<uint8_t>& data,
                             std::vector<uint8_t>& answers,
                             std::vector<TTelnetSubnegotiation>& received) {
  for (int i = 0; i < n; ++i) {
    const uint8_t b = wire[i];
    switch (State_) {
      case sData:
        if (b == IAC) {
          State_ = sIac;
        } else if (b == 0 && AfterCr_ && !PeerEnabled(BINARY)) {
          AfterCr_ = false;  // CR NUL is a lone CR
        } else {
          data.push_back(b);
          AfterCr_ = b == '\r';
        }
        break;
      case sIac:
        if (b == IAC) {
          data.push_back(IAC);
          AfterCr_ = false;
          State_ = sData;
        } else if (b == WILL || b == WONT || b == DO || b == DONT) {
          Verb_ = b;
          State_ = sVerb;
        } else if (b == SB) {
          State_ = sSbOption;
        } else {
          State_ = sData;  // NOP, GA, data mark and the like carry nothing for us
        }
        break;
      case sVerb:
        Negotiate(Verb_, b, answers);
        State_ = sData;
        break;
      case sSbOption:
        Sb_.Option = b;
        Sb_.Payload.clear();
        State_ = sSbData;
        break;
      case sSbData:
        if (b == IAC) {
          State_ = sSbIac;
        } else if (Sb_.Payload.size() < kLongestSubnegotiation) {
          Sb_.Payload.push_back(b);
        }
        break;
      case sSbIac:
        if (b == IAC) {
          if (Sb_.Payload.size() < kLongestSubnegotiation) Sb_.Payload.push_back(IAC);
          State_ = sSbData;
        } else if (b == SE) {
          received.push_back(Sb_);
          State_ = sData;
        } else {
          // A command inside a subnegotiation ends it unfinished; take the
          // command as such.
          State_ = sIac;
          --i;
        }
        break;
    }
  }
}

}  // namespace kestrel
