// The file upload: checksums, blocks and the prompt check after them.

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "loader/core/RunRecord.h"
#include "loader/core/ScriptFiles.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "messages/Adexcept.h"

namespace kestrel {

namespace {

bool read_exactly(std::FILE* file, uint8_t* into, size_t count) {
  return std::fread(into, 1, count, file) == count;
}

}  // namespace

bool TKestrelForm::get_file_checksum() {
  std::string why;
  if (Chain.TakeChecksum(&why)) return true;
  checksum_not_taken(why);
  return false;
}

void TKestrelForm::checksum_not_taken(const std::string& why) {
  file_not_loaded("Error opening file " + Chain.FileName + ". Unable to get file checksum",
                  "No checksum for " + Chain.FileName, why);
}

int64_t TKestrelForm::wire_time_ms(int count) const {
  const int32_t baud = ApdComPort1->Baud();
  if (baud <= 0) return 0;
  const int64_t bits = 1 + ApdComPort1->DataBits() + (ApdComPort1->Parity() == pNone ? 0 : 1) +
                       ApdComPort1->StopBits();
  return (int64_t(count) * bits * 1000 + baud - 1) / baud;
}

void TKestrelForm::SendByte(int count, const uint8_t* bytes) {
  send_block(count, bytes);
}

TExchange TKestrelForm::send_block(int count, const uint8_t* bytes) {
  const auto failed = [this](const std::string& message) {
    cancel_for(message);
    return TExchange{false, message};
  };
  const auto refused = [this] {
    // What is still queued of a block the unit refused never reaches it.
    ApdComPort1->FlushOutBuffer();
    return TExchange{false, FUploadRefusal};
  };
  if (ApdComPort1->DeviceLost()) return device_lost_during_upload();
  if (ApdComPort1->OutBuffFree() < count)
    return failed("Error! Communications Port Output Buffer Overflow. Cancel upload.");
  CommandTimer->start();
  try {
    ApdComPort1->PutBlock(bytes, uint16_t(count));
  } catch (const EDeviceLost&) {
    CommandTimer->stop();
    return device_lost_during_upload();
  }
  CommandTimer->stop();

  // Each wait fails only once nothing has moved for its limit: no byte has
  // left the output buffer or the device's queue, CTS has not come up. A
  // unit writing a block to flash stops the line for a while, and a slow
  // line takes its time for every block. A device that goes away ends the
  // waits at once.
  const int64_t stallMs = std::max<int64_t>(kSendStallMs, 3 * wire_time_ms(count));
  int queued = ApdComPort1->OutBuffUsed();
  const auto sent = [&] {
    if (ApdComPort1->DeviceLost() || upload_refused()) return TWaitLook::Done;
    const int now = ApdComPort1->OutBuffUsed();
    const bool moved = now < queued;
    queued = now;
    return now == 0 ? TWaitLook::Done : moved ? TWaitLook::Moved : TWaitLook::Still;
  };
  const auto clear = [this] {
    return ApdComPort1->CTS() || ApdComPort1->DeviceLost() || upload_refused() ? TWaitLook::Done
                                                                               : TWaitLook::Still;
  };
  const bool drained = Waits().wait_while_moving(sent, stallMs);
  if (!FUploadRefusal.empty()) return refused();
  if (!drained)
    return failed("Error! Output Buffer never empties. Check RS232 connection. Cancel upload.");
  const bool cleared = Waits().wait_while_moving(clear, stallMs);
  if (!FUploadRefusal.empty()) return refused();
  if (!cleared) return failed("Error! CTS line not set. Check RS232 connection. Cancel upload.");
  if (ApdComPort1->DeviceLost()) return device_lost_during_upload();
  ApdComPort1->FlushOutBuffer();
  return {true, {}};
}

TExchange TKestrelForm::device_lost_during_upload() {
  // A network line says why (the server closed the connection, ...).
  std::string why = ApdComPort1->DeviceLostReason();
  if (why.empty()) why = "unplugged or switched off";
  const std::string message = with_cause(
      "Error! Device " + ApdComPort1->DevicePath() + " was lost (" + why + "). Cancel upload.",
      Link.Words.Cause());
  cancel_for(message);
  return {false, message};
}

void TKestrelForm::listen_for_refusal(int ms) {
  // Ends with what the unit has sent, delivered and judged: a prompt it
  // fell quiet after in the meantime is seen at the end.
  Waits().wait_for_events(
      [this] { return upload_refused() || run_stopping() || ApdComPort1->DeviceLost(); },
      Waits().now_ms() + ms);
  upload_refused();
}

bool TKestrelForm::upload_refused() {
  if (!FUploadRefusal.empty()) return true;
  if (!FUploadWatch) return false;
  const std::string refusal = FUploadWatch->Refusal(Waits().now_ms());
  if (refusal.empty()) return false;
  FUploadRefusal = with_cause("Error! The unit did not take the upload of " + Chain.FileName +
                                  ": " + refusal + ". Cancel upload.",
                              Link.Words.Cause());
  // Not a byte more of the image: the unit reads it as commands.
  try {
    ApdComPort1->FlushOutBuffer();
  } catch (const std::exception&) {
  }
  cancel_run(FUploadRefusal);
  show_message(FUploadRefusal);
  return true;
}

void TKestrelForm::send_file_blocks(std::FILE* file, int blockCount) {
  const int remainder = int(Chain.Size - uint32_t(kUploadBlockSize) * uint32_t(blockCount));
  std::vector<uint8_t> block(kUploadBlockSize);
  int blocksSent = 0;
  const auto began = std::chrono::steady_clock::now();
  auto step = [&] {
    if (FProgressForm) FProgressForm->StepIt();
    const uint64_t sent =
        std::min<uint64_t>(uint64_t(++blocksSent) * kUploadBlockSize, uint64_t(Chain.Size));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double rate = seconds > 0 ? double(sent) / seconds : 0;
    tell_observers([&](TRunObserver& o) { o.Progress(Chain.FileName, sent, Chain.Size, rate); });
  };
  // A file that has shrunk or cannot be read since its checksum was taken
  // cannot give the bytes announced to the unit: the upload stops instead
  // of sending others.
  auto read = [&](int count) {
    if (read_exactly(file, block.data(), size_t(count))) return true;
    cancel_for("Error! Cannot read " + Chain.FileName + " to its announced size (" +
               (std::ferror(file) ? "read error" : "the file has shrunk") + "). Cancel upload.");
    return false;
  };

  // Each block is looked at for its echo before it goes; the last one
  // ends the part of the upload in which a prompt means a refusal. A block
  // that failed is not counted as sent.
  const auto send = [&](int count, bool last) {
    if (upload_refused()) return;
    if (FUploadWatch) {
      FUploadWatch->Sending(block.data(), size_t(count));
      if (last) FUploadWatch->LastBytesHandedOver();
    }
    // The unit's verdict on the data cannot come before its last bytes.
    if (last) {
      mark_unit_words();
      FDataHandedOver = true;
    }
    SendByte(count, block.data());
    if (!run_cancelled()) step();
  };
  if (blockCount > 0) {
    for (int i = 0; i < blockCount && !run_cancelled(); ++i) {
      if (!read(kUploadBlockSize)) break;
      send(kUploadBlockSize, i + 1 == blockCount && remainder == 0);
      Waits().process_pending_events();
    }
    if (!run_cancelled() && remainder != 0 && read(remainder) && port_open()) send(remainder, true);
  } else if (read(remainder) && port_open()) {
    send(remainder, true);
  }
}

void TKestrelForm::upload_not_started(const std::string& why) {
  // The upload line has gone out: the unit now waits for bytes that will
  // not come, so the run cannot go on as if nothing happened.
  cancel_for("Error opening " + Chain.FileName + ".\r");
  Session.Outcome.UploadEnded(TFileResult::NotSent, "Error opening " + Chain.FileName + ": " + why +
                                                        ". Cannot upload file.");
  tell_file_result();
}

void TKestrelForm::UploadButtonClick() {
  upload_file(nullptr);
}

void TKestrelForm::upload_file(TFilePtr file) {
  Session.UploadInProgress = true;
  // A refusal of the upload line is what stops this upload.
  FCancel.Why = FUploadRefusal;
  FDataHandedOver = false;
  Session.Outcome.UploadStarted(Chain.FileName, Chain.Size, Chain.Checksum, Chain.Address,
                                Chain.Version);
  // _LD hands over the file it checked; run on its own, the upload opens it.
  std::string why;
  if (!file) file = open_file_for_read(Chain.FileName, &why);
  if (!file) {
    Session.UploadInProgress = false;
    upload_not_started(why);
    return;
  }

  bool sent = false;
  if (port_open()) {
    const int blockCount = int(Chain.Size / kUploadBlockSize);
    try {
      // The unit's answer to the upload line stays to be read.
      if (!FUploadWatch) ApdComPort1->FlushInBuffer();
      ApdComPort1->FlushOutBuffer();
      ConfigMenu->menuAction()->setVisible(false);
      // Each upload starts uncancelled, unless the unit refused its upload
      // line: that has cancelled it already.
      FCancel = {};
      if (!FUploadRefusal.empty()) cancel_run(FUploadRefusal);
      if (FProgressForm)
        FProgressForm->ShowProgressForm(
            blockCount,
            TUploadInfo{Chain.NameAsWritten.empty() ? Chain.FileName : Chain.NameAsWritten,
                        Chain.FileName, Chain.Checksum, Chain.Address, Chain.Size,
                        kUploadBlockSize});
      tell_observers([this](TRunObserver& o) { o.UploadBegins(Chain.FileName, Chain.Size); });
      Waits().sleep_processing_events(50);
      send_file_blocks(file.get(), blockCount);
      sent = !run_cancelled();
      if (sent) Session.Outcome.UploadSent();
    } catch (const std::exception& e) {
      // A port that failed under the upload (a cable pulled, a device gone)
      // stops it like any other failure.
      cancel_for(e.what());
    }
    if (FProgressForm) FProgressForm->HideProgressForm();
    ConfigMenu->menuAction()->setVisible(true);
  }
  file.reset();
  Session.UploadInProgress = false;
  // What stopped the upload, before the messages that follow from it.
  const std::string failure = FCancel.Why;

  if (run_cancelled()) {
    FUploadWatch.reset();
    Waits().sleep_processing_events(500);
    Waits().process_pending_events();
    show_message("Upload cancelled/incomplete!!! Upload for " + Chain.FileName +
                 " section was incomplete.");
  } else {
    // The data is through; an echo of its last bytes still shows that the
    // unit read them as commands.
    listen_for_refusal(Session.PostUploadPause);
    FUploadWatch.reset();
  }
  Waits().process_pending_events();

  // A failed upload ends the run: nothing more is sent for it.
  TExchange answer;
  answer.Ok = !port_open();
  if (port_open() && !run_cancelled()) {
    answer = prompt_after_upload({kPromptWaitProbing, 1, 3});
    if (!answer.Ok && !run_cancelled()) {
      Waits().sleep_processing_events(500);
      answer = prompt_after_upload({kPromptWaitProbing, 2, 3});
    }
    if (!answer.Ok && !run_cancelled()) answer = prompt_after_upload({kPromptWaitLong, 3, 3});
    if (!answer.Ok && !run_cancelled())
      cancel_for(with_cause(
          "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.",
          answer.Why));
  }

  // A stop that came after the unit confirmed the data, with its loader
  // prompt last, leaves the file loaded.
  if (run_stopping() && FDataHandedOver && FUploadRefusal.empty() &&
      Link.Words.EndsWith(Settings.LoaderPrompt))
    Session.Outcome.UploadConfirmed();
  else if (!sent && failure.empty() && !run_cancelled())
    Session.Outcome.UploadEnded(TFileResult::NotSent,
                                "not sent: the port was closed when the upload began");
  else if (!sent)
    Session.Outcome.UploadEnded(
        failure.empty() ? TFileResult::Cancelled : TFileResult::Failed,
        failure.empty() ? "the upload was cancelled before its last block" : failure);
  else if (!answer.Ok)
    Session.Outcome.UploadEnded(TFileResult::Failed, FCancel.Why);
  else
    Session.Outcome.UploadConfirmed();
  tell_file_result();
  FUploadRefusal.clear();
  Waits().process_pending_events();
  if (FExitAfterRun && !FRunActive) end_program(0);
}

void TKestrelForm::tell_file_result() {
  // The file an upload sends is the last the run met.
  if (Session.Outcome.Files().empty()) return;
  const TNamedFile& file = Session.Outcome.Files().back();
  tell_observers([&](TRunObserver& o) { o.FileResult(file); });
}

TExchange TKestrelForm::prompt_after_upload(const TPromptExchange& exchange) {
  TExchange answer;
  try {
    answer = exchange_prompt("\r", Settings.LoaderPrompt, exchange);
  } catch (const std::exception&) {
    // a port gone under the check is a missing prompt
  }
  // A unit that hung up once it had the data (or an adapter pulled out
  // meanwhile) is told as such, once; the tries left end at once.
  if (!answer.Ok && ApdComPort1->DeviceLost() && !run_cancelled()) device_lost_during_upload();
  if (!answer.Ok) answer.Why = Link.Words.Cause(" since the data");
  return answer;
}

}  // namespace kestrel
