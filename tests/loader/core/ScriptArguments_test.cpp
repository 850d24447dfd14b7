// How script lines yield their arguments, and how the command line is read.

#include "loader/core/ScriptArguments.h"

#include <gtest/gtest.h>

#include "loader/core/CommandLine.h"

namespace kestrel {
namespace {

TEST(ScriptArguments, FormsTakeTheirTextOrNothing) {
  // Quoted text: after the first quote, less the line's last character.
  EXPECT_EQ(script_quoted_text("_SC \"ATZ\""), "ATZ");
  EXPECT_EQ(script_quoted_text("_SC \"say \"hi\"\""), "say \"hi\"");
  EXPECT_EQ(script_quoted_text("_SC \"\""), "");
  EXPECT_EQ(script_quoted_text("_SC \"ab\"  "), "ab\" ");  // trailing blanks are kept
  EXPECT_EQ(script_quoted_text("_SC \""), std::nullopt);
  EXPECT_EQ(script_quoted_text("_SC ATZ"), std::nullopt);

  EXPECT_EQ(script_quoted_char("_PC \"]\""), ']');
  EXPECT_EQ(script_quoted_char("_PC \""), std::nullopt);

  const auto compare = script_compare_argument("_CE \"OK\\r\"   _SC \"GO\"");
  ASSERT_TRUE(compare);
  EXPECT_EQ(compare->Text, "OK\\r");
  EXPECT_EQ(compare->Command, "_SC \"GO\"");
  EXPECT_EQ(script_compare_argument("_CS \"OK\"")->Command, "");
  EXPECT_EQ(script_compare_argument("_CS \"OK"), std::nullopt);

  EXPECT_EQ(script_word("_LF   dir/a b.bin"), "dir/a b.bin");
  EXPECT_EQ(script_word("_DY "), "");
  EXPECT_EQ(script_word("_LD"), std::nullopt);
}

TEST(ScriptArguments, EscapesDatesAndFields) {
  EXPECT_EQ(script_caret_escapes("A^MB^M", '\r'), "A\rB\r");
  EXPECT_EQ(script_caret_escapes("^m^", ' '), "^m^");
  EXPECT_EQ(script_caret_escapes("VER^MX", ' '), "VER X");
  EXPECT_EQ(script_backslash_escapes("a\\r\\nb\\t\\"), "a\r\nb\\t\\");

  std::tm t{};
  t.tm_year = 104;
  t.tm_mon = 6;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 7;
  t.tm_sec = 4;
  EXPECT_EQ(script_date_text(t), "7/5/2004_9:07:04");
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(script_date_text(t), "12/31/2004_23:59:58");

  EXPECT_EQ(script_field(std::string(300, 'x'), 49).size(), 49u);
  EXPECT_EQ(script_field("short", 49), "short");
}

TEST(CommandLine, ModesAndMistakes) {
  using M = TCommandLine::TMode;
  EXPECT_EQ(parse_command_line(std::vector<std::string>{}).Mode, M::Window);
  EXPECT_EQ(parse_command_line({"--help"}).Mode, M::Help);
  EXPECT_EQ(parse_command_line({"--batch", "x.sld", "--help"}).Mode, M::Help);
  EXPECT_EQ(parse_command_line({"--list-ports"}).Mode, M::ListPorts);
  EXPECT_EQ(parse_command_line({"--version"}).Mode, M::Version);
  const TCommandLine window = parse_command_line({"--ini", "w.ini"});
  EXPECT_EQ(window.Mode, M::Window);
  EXPECT_EQ(window.IniFile, "w.ini");

  const TCommandLine batch = parse_command_line({"--batch", "run.sld", "--ini", "a.ini"});
  EXPECT_EQ(batch.Mode, M::Batch);
  EXPECT_EQ(batch.BatchScript, "run.sld");
  EXPECT_EQ(batch.IniFile, "a.ini");
  const TCommandLine joined = parse_command_line({"--ini=b.ini", "--batch=r.sld"});
  EXPECT_EQ(joined.Mode, M::Batch);
  EXPECT_EQ(joined.BatchScript, "r.sld");
  EXPECT_EQ(joined.IniFile, "b.ini");
  const TCommandLine check = parse_command_line({"--check=c.sld", "--ini", "c.ini"});
  EXPECT_EQ(check.Mode, M::Check);
  EXPECT_EQ(check.BatchScript, "c.sld");
  EXPECT_EQ(check.IniFile, "c.ini");
  EXPECT_EQ(parse_command_line({"--record", "r.jsonl"}).RecordFile, "r.jsonl");
  EXPECT_EQ(parse_command_line({"--batch", "a", "--record=r.jsonl"}).Mode, M::Batch);
  // Any whole rate the port can hold; the driver is the judge of the rest.
  for (const char* rate : {"50", "230400", "3000000", "4000000", "250000", "2147483647"}) {
    EXPECT_EQ(parse_command_line({"--batch", "a", "--baud", rate}).Baud, std::stol(rate));
    EXPECT_EQ(parse_command_line({"--check", "a", std::string("--baud=") + rate}).Baud,
              std::stol(rate));
  }
  EXPECT_EQ(parse_command_line({"--batch", "a"}).Baud, 0);
  const TCommandLine station =
      parse_command_line({"--station=s.sld", "--ini", "s.ini", "--record", "r", "--baud=921600",
                          "--port", "/dev/ttyUSB0", "--port=/dev/serial/by-id/usb-*"});
  EXPECT_EQ(station.Mode, M::Station);
  EXPECT_EQ(station.BatchScript, "s.sld");
  EXPECT_EQ(station.IniFile, "s.ini");
  EXPECT_EQ(station.RecordFile, "r");
  EXPECT_EQ(station.Baud, 921600);
  EXPECT_EQ(station.Ports, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/serial/by-id/usb-*"}));

  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"--batch"},
                                             {"--batch="},
                                             {"--batch", "a", "--batch", "b"},
                                             {"--batch", "a", "--ini"},
                                             {"run.sld"},
                                             {"--batchx", "a"},
                                             {"--check", "a", "--batch", "b"},
                                             {"--station", "a", "--batch", "b"},
                                             {"--station", "a", "--check", "b"},
                                             {"--station", "a", "--station", "b"},
                                             {"--station"},
                                             {"--batch", "a", "--port", "/dev/ttyUSB0"},
                                             {"--station", "a", "--port"},
                                             {"--station", "a", "--port="},
                                             {"--check", "a", "--record", "r"},
                                             {"--record"},
                                             {"--batch", "a", "--baud"},
                                             {"--batch", "a", "--baud", "49"},
                                             {"--batch", "a", "--baud", "-9600"},
                                             {"--batch", "a", "--baud", "3e6"},
                                             {"--batch", "a", "--baud", "9600baud"},
                                             {"--batch", "a", "--baud", "2147483648"},
                                             {"--batch", "a", "--baud", "99999999999"},
                                             {"--batch", "a", "--baud=9600", "--baud=9600"},
                                             {"--baud", "9600"},
                                             {"-platform", "xcb"}}) {
    const TCommandLine line = parse_command_line(wrong);
    EXPECT_EQ(line.Mode, M::Usage) << wrong.front();
    EXPECT_FALSE(line.Error.empty());
  }
}

}  // namespace
}  // namespace kestrel
