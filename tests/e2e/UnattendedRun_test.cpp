// The built program run unattended against the simulated unit: files that
// arrive byte for byte, in process and on a pseudo-terminal, compares that
// steer a run, the failures a run reports and the exit statuses that follow.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kSuccess = "status: SUCCESS. Reading script file complete\n";
constexpr const char* kUnsuccessful = "status: Unsuccessful. Upload terminated by user/error(s).\n";

// Three files (three blocks with a short last one, one short block, an empty
// file), one of them versioned by its date.
struct TThreeFiles {
  const std::string A = Pattern(4500, 1), B = Pattern(1500, 2), C;
  std::string Script;

  explicit TThreeFiles(const TScratch& folder) {
    WriteFile(folder / "a.bin", A);
    WriteFile(folder / "b.bin", B);
    WriteFile(folder / "c.bin", C);
    Script =
        "; three files\n"
        "_TC \"LOADR^M\"\r\n"
        "_LP 1\n"
        "_LF a.bin\n_LA 8000\n_LV 1.0a\n_LD\n"
        "_LF b.bin\n_LA 1F0000\n_LV date\n_LD\n"
        "_LF c.bin\n_LA 20\n_LV 0\n_LD";
  }
  static std::string UploadLine(const std::string& address, const std::string& data,
                                const std::string& version) {
    uint32_t sum = 0;
    for (unsigned char c : data) sum += c;
    char text[128];
    std::snprintf(text, sizeof text, "LF %s %zu %x %s\r", address.c_str(), data.size(),
                  sum & 0xFFFF, version.c_str());
    return text;
  }
};

TEST(BatchRun, FilesArriveByteForByteInProcessAndOnAPseudoTerminal) {
  TBatchRun inProcess("", TBatchRun::Sim());
  TThreeFiles files(inProcess.Folder);
  WriteFile(inProcess.Folder / "run.sld", files.Script);

  // The stand-alone unit, through the loader's termios device.
  TScratch toolFolder;
  TChild tool(BinPath("kestrel-unit-sim"), {"--dir=flash", "--flash-ms=2"}, toolFolder.Path(), {},
              toolFolder / "unit-stderr.txt", true);
  const std::string pty = tool.StdoutLine();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  TBatchRun onPty(files.Script, pty);
  WriteFile(onPty.Folder / "a.bin", files.A);
  WriteFile(onPty.Folder / "b.bin", files.B);
  WriteFile(onPty.Folder / "c.bin", files.C);

  inProcess.Start();
  onPty.Start();
  EXPECT_EQ(inProcess.Finish(), 0) << inProcess.Err();
  EXPECT_EQ(onPty.Finish(), 0) << onPty.Err();

  EXPECT_EQ(inProcess.Image("8000"), files.A);
  EXPECT_EQ(inProcess.Image("1F0000"), files.B);
  EXPECT_TRUE(inProcess.HasImage("20"));
  EXPECT_EQ(inProcess.Image("20"), "");
  EXPECT_EQ(ReadFile(toolFolder / "flash" / "8000.bin"), files.A);
  EXPECT_EQ(ReadFile(toolFolder / "flash" / "1F0000.bin"), files.B);
  EXPECT_TRUE(fs::exists(toolFolder / "flash" / "20.bin"));

  // The upload lines; the date version is the file's own.
  const std::string received = inProcess.ReceivedByUnit();
  EXPECT_NE(received.find(TThreeFiles::UploadLine("8000", files.A, "1.0A") + files.A),
            std::string::npos);
  EXPECT_NE(received.find(TThreeFiles::UploadLine("20", "", "0")), std::string::npos);
  EXPECT_NE(received.find("LF 1F0000 1500 "), std::string::npos);
  EXPECT_EQ(received.find("DATE"), std::string::npos);

  // What a caller reads: every status text, a progress line per tenth of a
  // file (each block here is more than a tenth), and the summary.
  for (TBatchRun* run : {&inProcess, &onPty}) {
    const std::string& err = run->Err();
    const std::string folder = run->Folder.Path().string();
    EXPECT_NE(err.find("status: Established communication on COM 1\n"), std::string::npos) << err;
    EXPECT_NE(err.find("status: Reading script file. Please wait....\n"), std::string::npos);
    const size_t first = err.find("upload: " + folder + "/a.bin: 2000 of 4500 bytes (44%), ");
    const size_t second = err.find("upload: " + folder + "/a.bin: 4000 of 4500 bytes (88%), ");
    const size_t last = err.find("upload: " + folder + "/a.bin: 4500 of 4500 bytes (100%)\n");
    EXPECT_TRUE(first < second && second < last && last != std::string::npos) << err;
    EXPECT_NE(err.find("upload: " + folder + "/b.bin: 1500 of 1500 bytes (100%)\n"),
              std::string::npos);
    EXPECT_NE(err.find("upload: " + folder + "/c.bin: 0 of 0 bytes (100%)\n"), std::string::npos);
    EXPECT_NE(err.find(kSuccess), std::string::npos);
    EXPECT_NE(err.find("summary: SUCCESS: 3 of 3 files loaded, 6000 bytes, "), std::string::npos);
    EXPECT_EQ(err.find("status:  \n"), std::string::npos) << err;
    EXPECT_EQ(err.find("message:"), std::string::npos) << err;
  }
}

TEST(BatchRun, ComparesSteerTheRun) {
  TBatchRun run(
      "_TC \"LOADR^M\"\n"
      "_LP 1\n"
      "_QC \"VER\"\n"
      "_CE \"KESTREL SIMULATED UNIT 1.0\" _SC \"EQUAL\"\n"
      "_CE \"KESTREL SIMULATED\" _SC \"NOT EQUAL\"\n"
      "_CS \"SIMULATED\" _LF a.bin\n"
      "_CS \"REAL UNIT\" _LF b.bin\n"
      "_LA 8000\n_LV 1\n_LD\n"
      "_QC \"ID\"\n"
      "_CS \"0001\" _DM \"unit 0001 loaded\"\n",
      TBatchRun::Sim("pace;baud=38400"));
  WriteFile(run.Folder / "a.bin", Pattern(2100, 3));
  WriteFile(run.Folder / "b.bin", Pattern(2100, 4));
  EXPECT_EQ(run.Run(), 0) << run.Err();
  EXPECT_EQ(run.Image("8000"), Pattern(2100, 3));
  const std::string received = run.ReceivedByUnit();
  EXPECT_NE(received.find("EQUAL\r"), std::string::npos);
  EXPECT_EQ(received.find("NOT EQUAL"), std::string::npos);
  // A note is no error: the run still ends in 0.
  EXPECT_TRUE(run.Said("note: unit 0001 loaded\n")) << run.Err();
}

// --baud stands in for line 2 of the settings (here one no port takes): the
// line runs at it, paced, and the record tells the rate.
TEST(BatchRun, ARateFromTheCommandLineRunsTheLine) {
  const std::string script = "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";
  TBatchRun fast(script, TBatchRun::Sim("pace"), {"--baud", "3000000", "--record", "r.jsonl"});
  TBatchRun odd(script, TBatchRun::Sim("pace"), {"--baud=250000", "--record", "r.jsonl"});
  for (TBatchRun* run : {&fast, &odd}) {
    WriteFile(run->Folder / "LoaderDefault.ini", SettingsText({{2, "14400"}}));
    WriteFile(run->Folder / "a.bin", Pattern(30000, 9));
    run->Start();
  }
  EXPECT_EQ(fast.Finish(), 0) << fast.Err();
  EXPECT_EQ(odd.Finish(), 0) << odd.Err();
  EXPECT_EQ(fast.Image("8000"), Pattern(30000, 9));
  EXPECT_NE(ReadFile(fast.Folder / "r.jsonl").find("\"baud\":3000000,"), std::string::npos);
  EXPECT_NE(ReadFile(odd.Folder / "r.jsonl").find("\"baud\":250000,"), std::string::npos);
  EXPECT_FALSE(fast.Said("Baud Rate")) << fast.Err();
}

// Runs that report a failure at once, all started together.
TEST(BatchRun, FailuresEndWithTheirMessageAndStatus) {
  // An upload file that does not open: the run goes on, but ends in 1.
  TBatchRun missing(
      "_TC \"LOADR^M\"\n_LP 1\n_LF missing.bin\n_LA 100\n_LV 1\n_LD\n"
      "_LF a.bin\n_LA 8000\n_LV 1\n_LD\n",
      TBatchRun::Sim());
  WriteFile(missing.Folder / "a.bin", "abc");
  // The second _LF names a file that does not open: the chain starts
  // afresh, so the first file is not announced under the second's name.
  TBatchRun checksum("_TC \"LOADR^M\"\n_LF a.bin\n_LF gone.bin\n_LA 8000\n_LV 1\n_LD\n",
                     TBatchRun::Sim());
  WriteFile(checksum.Folder / "a.bin", "abc");
  // A query whose answer holds nothing but line ends.
  TBatchRun empty("_QC \"EMPTY\"\n", TBatchRun::Sim("query=EMPTY:\\r\\n\\r\\n\\r\\n\\r\\n\\r\\n"));
  // A unit that never answers the query: the watchdog ends it.
  TBatchRun watchdog("_QC \"VER\"\n_SC \"AFTER\"\n", TBatchRun::Sim("no-answer"));
  // The script does not open; a wrong command line; the help.
  TBatchRun noScript("", TBatchRun::Sim());
  TBatchRun usage("", TBatchRun::Sim(), {"--ini"});
  TBatchRun help("", TBatchRun::Sim(), {"--help"});
  // A settings file of its own, with a rate the port does not take.
  TBatchRun ini("_SC \"X\"\n", TBatchRun::Sim(), {"--ini", "other.ini"});
  WriteFile(ini.Folder / "other.ini", "P=0\nBaud=14400\n");
  WriteFile(ini.Folder / "LoaderDefault.ini", "P=0\nBaud=38400\n");

  std::vector<TBatchRun*> all = {&missing,  &checksum, &empty, &watchdog,
                                 &noScript, &usage,    &help,  &ini};
  fs::remove(noScript.Folder / "run.sld");
  for (TBatchRun* run : all) run->Start();
  for (TBatchRun* run : all) run->Finish();

  EXPECT_EQ(missing.Finish(), 1);
  EXPECT_TRUE(missing.Said("message: Error! Unable to open file " +
                           (missing.Folder / "missing.bin").string() + ". Cannot upload file.\n"))
      << missing.Err();
  EXPECT_EQ(missing.Image("8000"), "abc");
  EXPECT_FALSE(missing.HasImage("100"));
  EXPECT_TRUE(missing.Said(kUnsuccessful)) << missing.Err();

  EXPECT_EQ(checksum.Finish(), 1);
  EXPECT_TRUE(checksum.Said("message: Error! Unable to open file " +
                            (checksum.Folder / "gone.bin").string() + ". Cannot upload file.\n"))
      << checksum.Err();
  EXPECT_EQ(checksum.ReceivedByUnit().find("LF 8000"), std::string::npos);

  EXPECT_EQ(empty.Finish(), 1);
  EXPECT_TRUE(empty.Said("message: Error! No response detected with _QC command\n")) << empty.Err();
  EXPECT_TRUE(empty.Said(kUnsuccessful));

  EXPECT_EQ(watchdog.Finish(), 1);
  EXPECT_TRUE(
      watchdog.Said("message: Timeout error! RS232 connection failure! Please check RS232 "
                    "connection. Exiting script.\n"))
      << watchdog.Err();
  EXPECT_TRUE(watchdog.Said(kUnsuccessful));
  EXPECT_EQ(watchdog.ReceivedByUnit().find("AFTER"), std::string::npos);

  EXPECT_EQ(noScript.Finish(), 3);
  EXPECT_TRUE(noScript.Said("message: Error opening file run.sld for read.\n")) << noScript.Err();

  EXPECT_EQ(usage.Finish(), 64);
  EXPECT_TRUE(usage.Said("--ini needs a file name")) << usage.Err();
  EXPECT_EQ(help.Finish(), 0);

  EXPECT_EQ(ini.Finish(), 1);
  EXPECT_TRUE(ini.Said("message: Error! Baud Rate set in INI file is invalid!\n")) << ini.Err();
  EXPECT_NE(ini.ReceivedByUnit().find("X\r"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::e2e
