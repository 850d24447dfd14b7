// The record of unattended runs: one JSON line per run with its uploads,
// messages, status and exit code, for a good run, a failed one and one
// without a unit; a record file that cannot be written is reported once and
// changes nothing else.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

std::vector<QJsonObject> records(const fs::path& file) {
  std::vector<QJsonObject> all;
  std::istringstream lines(ReadFile(file));
  for (std::string line; std::getline(lines, line);) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    all.push_back(doc.object());
  }
  return all;
}

std::string text(const QJsonObject& o, const char* key) {
  return o[key].toString().toStdString();
}

constexpr const char* kScript =
    "_TC \"LOADR^M\"\n_LP 1\n_DM \"loading\"\n_LF a.bin\n_LA 8000\n_LV 1.0a\n_LD\n";

TEST(RunRecord, GoodFailedAndUnitlessRunsEachLeaveOneLine) {
  TBatchRun good(kScript, TBatchRun::Sim(), {"--record", "runs.jsonl"});
  TBatchRun failed(kScript, TBatchRun::Sim("corrupt=5"));
  failed.Env["KESTREL_RECORD"] = (failed.Folder / "runs.jsonl").string();
  TBatchRun unitless(kScript, "/nonexistent/kestrel-e2e-com1", {"--record=runs.jsonl"});
  for (TBatchRun* run : {&good, &failed, &unitless})
    WriteFile(run->Folder / "a.bin", Pattern(4100, 5));
  // A second good run appends to the first one's record.
  for (TBatchRun* run : {&good, &failed, &unitless}) run->Start();
  EXPECT_EQ(good.Finish(), 0) << good.Err();
  EXPECT_EQ(failed.Finish(), 1) << failed.Err();
  EXPECT_EQ(unitless.Finish(), 2) << unitless.Err();
  EXPECT_EQ(good.Run(), 0) << good.Err();

  const std::vector<QJsonObject> goodLines = records(good.Folder / "runs.jsonl");
  ASSERT_EQ(goodLines.size(), 2u);
  const QJsonObject& g = goodLines[0];
  EXPECT_EQ(text(g, "script"), "run.sld");
  EXPECT_EQ(text(g, "port"), TBatchRun::Sim());
  EXPECT_EQ(g["com"].toInt(), 1);
  EXPECT_EQ(g["baud"].toInt(), 38400);
  EXPECT_EQ(g["data_bits"].toInt(), 8);
  EXPECT_EQ(text(g, "parity"), "none");
  EXPECT_EQ(g["stop_bits"].toInt(), 1);
  EXPECT_EQ(text(g, "status"), "SUCCESS. Reading script file complete");
  EXPECT_EQ(text(g, "outcome"), "finished");
  EXPECT_EQ(g["exit_code"].toInt(), 0);
  EXPECT_LE(text(g, "start"), text(g, "end"));
  const QJsonArray uploads = g["uploads"].toArray();
  ASSERT_EQ(uploads.size(), 1);
  const QJsonObject u = uploads[0].toObject();
  EXPECT_EQ(text(u, "file"), (good.Folder / "a.bin").string());
  EXPECT_EQ(u["size"].toInt(), 4100);
  EXPECT_EQ(text(u, "address"), "8000");
  EXPECT_EQ(text(u, "version"), "1.0A");
  EXPECT_EQ(text(u, "result"), "ok");
  EXPECT_GT(u["seconds"].toDouble(), 0.0);
  EXPECT_GT(u["bytes_per_second"].toDouble(), 0.0);
  uint32_t sum = 0;
  for (unsigned char c : Pattern(4100, 5)) sum += c;
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "%x", sum & 0xFFFF);
  EXPECT_EQ(text(u, "checksum"), checksum);
  const QJsonArray messages = g["messages"].toArray();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(text(messages[0].toObject(), "kind"), "note");
  EXPECT_EQ(text(messages[0].toObject(), "text"), "loading");

  const std::vector<QJsonObject> failedLines = records(failed.Folder / "runs.jsonl");
  ASSERT_EQ(failedLines.size(), 1u);
  const QJsonObject& f = failedLines[0];
  EXPECT_EQ(f["exit_code"].toInt(), 1);
  EXPECT_EQ(text(f["uploads"].toArray()[0].toObject(), "result"), "failed");
  EXPECT_EQ(text(f, "status"), "Unsuccessful. Upload terminated by user/error(s).");
  bool sawError = false;
  for (const auto& m : f["messages"].toArray()) sawError |= text(m.toObject(), "kind") == "message";
  EXPECT_TRUE(sawError);

  const std::vector<QJsonObject> unitlessLines = records(unitless.Folder / "runs.jsonl");
  ASSERT_EQ(unitlessLines.size(), 1u);
  EXPECT_EQ(unitlessLines[0]["exit_code"].toInt(), 2);
  EXPECT_EQ(text(unitlessLines[0], "outcome"), "no unit");
  EXPECT_EQ(text(unitlessLines[0], "port"), "");
}

// A record that cannot be kept stops the run before the port is touched.
TEST(RunRecord, AnUnwritableRecordStopsTheRunBeforeThePort) {
  TBatchRun run(kScript + std::string("_LF a.bin\n_LA 9000\n_LV 2\n_LD\n"), TBatchRun::Sim(),
                {"--record", "records"});
  fs::create_directory(run.Folder / "records");  // a folder cannot take a line
  WriteFile(run.Folder / "a.bin", Pattern(100, 6));
  EXPECT_EQ(run.Run(), 3) << run.Err();
  EXPECT_FALSE(run.HasImage("9000"));
  EXPECT_EQ(run.ReceivedByUnit(), "");
  EXPECT_TRUE(run.Said("kestrel: cannot append to the run record records: Is a directory\n"))
      << run.Err();
}

}  // namespace
}  // namespace kestrel::e2e
