// The Telnet codec of network lines: escapes both ways, CR NUL, answers to
// the other side's options (and none to its answers), and subnegotiations
// split anywhere across reads.

#include "serialdevice/AwTelnet.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using namespace telnet;
using Bytes = std::vector<uint8_t>;

TApdTelnetCodec ComPortClient() {
  return TApdTelnetCodec({BINARY, SGA, COM_PORT}, {BINARY, SGA});
}

TEST(TelnetCodec, EscapesDataBothWaysAndStuffsCrOnlyOutsideBinary) {
  TApdTelnetCodec codec = ComPortClient();
  const Bytes data{0xFF, '\r', 0x00, 'A', 0xFF};
  Bytes wire;
  codec.EncodeData(data.data(), int(data.size()), wire);
  EXPECT_EQ(wire, (Bytes{0xFF, 0xFF, '\r', 0, 0x00, 'A', 0xFF, 0xFF}));  // not binary yet

  codec.Requests();
  Bytes out, answers;
  std::vector<TTelnetSubnegotiation> subs;
  const Bytes accept{IAC, DO, BINARY, IAC, WILL, BINARY};
  codec.Decode(accept.data(), int(accept.size()), out, answers, subs);
  EXPECT_TRUE(answers.empty());  // answers to our requests are not answered
  wire.clear();
  codec.EncodeData(data.data(), int(data.size()), wire);
  EXPECT_EQ(wire, (Bytes{0xFF, 0xFF, '\r', 0x00, 'A', 0xFF, 0xFF}));

  // Back from the wire, byte by byte: IAC IAC is one 0xFF; CR NUL stays in binary.
  const Bytes back{0xFF, 0xFF, '\r', 0x00, 'B'};
  for (uint8_t b : back) codec.Decode(&b, 1, out, answers, subs);
  EXPECT_EQ(out, (Bytes{0xFF, '\r', 0x00, 'B'}));

  // A peer that leaves binary sends CR as CR NUL.
  TApdTelnetCodec plain({}, {});
  out.clear();
  plain.Decode(back.data(), int(back.size()), out, answers, subs);
  EXPECT_EQ(out, (Bytes{0xFF, '\r', 'B'}));
}

TEST(TelnetCodec, AnswersRequestsOnceAndRefusesWhatItDoesNotDo) {
  TApdTelnetCodec codec = ComPortClient();
  Bytes out, answers;
  std::vector<TTelnetSubnegotiation> subs;
  // ser2net's greeting: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO 44.
  const Bytes greeting{IAC, WILL, SGA, IAC,    DO,  SGA,  IAC,    WILL, 1,  IAC,     DONT,
                       1,   IAC,  DO,  BINARY, IAC, WILL, BINARY, IAC,  DO, COM_PORT};
  codec.Decode(greeting.data(), int(greeting.size()), out, answers, subs);
  EXPECT_EQ(answers, (Bytes{IAC, DO, SGA, IAC, WILL, SGA, IAC, DONT, 1, IAC, WILL, BINARY, IAC, DO,
                            BINARY, IAC, WILL, COM_PORT}));
  EXPECT_TRUE(codec.OwnEnabled(COM_PORT) && codec.OwnEnabled(BINARY) && codec.PeerEnabled(BINARY));
  EXPECT_TRUE(out.empty());
  // The same again changes nothing and is not answered: no loops.
  answers.clear();
  codec.Decode(greeting.data(), int(greeting.size()), out, answers, subs);
  EXPECT_EQ(answers, (Bytes{IAC, DONT, 1}));

  // A refusal of our request is noted, not answered.
  TApdTelnetCodec asking = ComPortClient();
  asking.Requests();
  answers.clear();
  const Bytes refuse{IAC, DONT, COM_PORT};
  asking.Decode(refuse.data(), int(refuse.size()), out, answers, subs);
  EXPECT_TRUE(answers.empty());
  EXPECT_TRUE(asking.OwnAnswered(COM_PORT) && asking.OwnRefused(COM_PORT));
}

TEST(TelnetCodec, SubnegotiationsSurviveAnySplitAndKeepEscapedBytes) {
  // A modem state, a baud answer holding 0xFF, and data around them.
  const Bytes wire{'x',      IAC, SB, COM_PORT, 107, 0x30, IAC,  SE,  IAC, SB,
                   COM_PORT, 101, 0,  0,        IAC, IAC,  0x10, IAC, SE,  'y'};
  for (size_t split = 0; split <= wire.size(); ++split) {
    SCOPED_TRACE(split);
    TApdTelnetCodec codec = ComPortClient();
    Bytes out, answers;
    std::vector<TTelnetSubnegotiation> subs;
    codec.Decode(wire.data(), int(split), out, answers, subs);
    codec.Decode(wire.data() + split, int(wire.size() - split), out, answers, subs);
    EXPECT_EQ(out, (Bytes{'x', 'y'}));
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(subs[0].Payload, (Bytes{107, 0x30}));
    EXPECT_EQ(subs[1].Payload, (Bytes{101, 0, 0, 0xFF, 0x10}));
  }
  EXPECT_EQ(TApdTelnetCodec::Subnegotiation(COM_PORT, {1, 0, 0, 0xFF, 0}),
            (Bytes{IAC, SB, COM_PORT, 1, 0, 0, 0xFF, 0xFF, 0, IAC, SE}));
}

}  // namespace
}  // namespace kestrel
