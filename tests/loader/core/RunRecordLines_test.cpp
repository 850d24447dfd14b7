// The run record keeps whole lines: on a disk that fills up mid-line, and
// in a FIFO whatever its reader does.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "ScratchFolder.h"
#include "loader/core/RunRecord.h"

namespace kestrel {
namespace {

using test::ReadFile;
using test::TScratch;

struct TRecordTo {
  explicit TRecordTo(const std::string& path)
      : Recorder(path, [this](const std::string& text) { Reports.push_back(text); }) {}
  // One run whose line is about `size` bytes long.
  void Run(size_t size) {
    TRunOutcome outcome;
    outcome.Begin();
    outcome.End(TRunEnd::Finished);
    Recorder.Start();
    Recorder.Message(std::string(size, 'm'));
    Recorder.Finish(outcome, 0);
  }
  std::vector<std::string> Reports;
  TRunRecorder Recorder;
};

// Every line is one JSON object; none is cut or joined to another.
void ExpectWholeLines(const std::string& text, size_t count) {
  size_t lines = 0;
  for (size_t at = 0; at < text.size(); ++lines) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "a line without its end";
    EXPECT_EQ(text[at], '{');
    EXPECT_EQ(text.substr(end - 2, 2), "0}") << "line " << lines + 1;
    at = end + 1;
  }
  EXPECT_EQ(lines, count);
}

TEST(RunRecord, ALineThatDoesNotFitOnTheDiskIsTakenBack) {
  TScratch folder;
  const std::string disk = (folder / "disk").string();
  std::filesystem::create_directory(disk);
  if (::mount("kestrel-test", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                 << "): a full disk needs one";
  struct TUnmount {
    std::string Folder;
    ~TUnmount() { ::umount(Folder.c_str()); }
  } unmount{disk};
  const std::string path = disk + "/runs.jsonl";
  {
    TRecordTo record(path);
    record.Run(100);
    // Fill the disk, then leave room for part of the next line only.
    const std::string filler = disk + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR) - 8192), 0);
    ::close(fd);

    record.Run(20000);
    record.Run(20000);
    ExpectWholeLines(ReadFile(path), 1);
    ASSERT_EQ(record.Reports.size(), 1u);
    EXPECT_NE(record.Reports[0].find("No space left on device; the part of the line written was "
                                     "taken back"),
              std::string::npos)
        << record.Reports[0];

    // With room again the next line follows the last whole one.
    std::filesystem::remove(filler);
    record.Run(20000);
    ExpectWholeLines(ReadFile(path), 2);
  }
}

// Reads a FIFO as `cat fifo > out` does: waits for a writer, reads to the end.
std::thread cat_reader(const std::string& fifo, std::string& out, int delayMs = 0) {
  return std::thread([&out, fifo, delayMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, size_t(n));
    ::close(fd);
  });
}

TEST(RunRecord, AFifoGetsWholeLinesFromEachKindOfReader) {
  TScratch folder;
  const std::string fifo = (folder / "runs.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TRecordTo record(fifo);

  // A reader already waiting: the check before the run leaves it waiting.
  std::string waiting;
  std::thread reader = cat_reader(fifo, waiting);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string why;
  EXPECT_TRUE(record.Recorder.CanAppend(why)) << why;
  record.Run(100);
  reader.join();
  ExpectWholeLines(waiting, 1);

  // One that opens the FIFO only after the run has ended.
  std::string late;
  reader = cat_reader(fifo, late, 500);
  record.Run(100);
  reader.join();
  ExpectWholeLines(late, 1);

  // One that keeps it open and reads slowly: a line longer than the pipe
  // holds arrives whole.
  const int held = ::open(fifo.c_str(), O_RDWR);
  std::string slow;
  reader = std::thread([&] {
    char buffer[1000];
    while (slow.find('\n') == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const ssize_t n = ::read(held, buffer, sizeof buffer);
      if (n <= 0) break;
      slow.append(buffer, size_t(n));
    }
  });
  record.Run(70000);
  reader.join();
  ::close(held);
  ExpectWholeLines(slow, 1);
  EXPECT_TRUE(record.Reports.empty()) << record.Reports[0];

  // No reader at all: said as what it is, not as a full disk.
  record.Run(100);
  ASSERT_EQ(record.Reports.size(), 1u);
  EXPECT_NE(record.Reports[0].find("it is a FIFO, and no process opened it for reading"),
            std::string::npos)
      << record.Reports[0];
}

}  // namespace
}  // namespace kestrel
