#include "unitsim/UnitRecorder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kestrel {

namespace {

constexpr size_t kMaxNameLength = 120;

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes are the unit's texts in the code page of the moment: keep the
      // file valid UTF-8 by writing each as its own code point.
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(uint32_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", v);
  return buffer;
}

}  // namespace

TUnitRecorder::TUnitRecorder(const TUnitOptions& options) : dir_(options.Dir) {
  auto open = [this](const std::string& path, TFile& file) {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    file.reset(std::fopen(path.c_str(), "a"));
    if (!file) error_ = path + ": " + std::strerror(errno);
  };
  std::string record = options.Record;
  if (record.empty() && !dir_.empty()) record = dir_ + "/uploads.jsonl";
  open(record, record_);
  open(options.Transcript, transcript_);
  if (transcript_) {
    std::fprintf(transcript_.get(),
                 "# ms, rx = received by the unit / tx = sent by it, bytes in hex, as text\n");
    std::fflush(transcript_.get());
  }
}

std::string TUnitRecorder::ImageFileName(std::string_view address) {
  std::string name;
  for (char c : address.substr(0, kMaxNameLength)) {
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
    name += safe ? c : '_';
  }
  // The suffix keeps "." and ".." from ever naming a folder.
  return name + ".bin";
}

std::string TUnitRecorder::RecordJson(const TUnitUpload& upload, std::string_view image) {
  std::string json = "{\"ms\":" + std::to_string(upload.EndedMs);
  json += ",\"command\":" + JsonString(upload.Command);
  json += ",\"address\":" + JsonString(upload.Address);
  json += ",\"size\":" + std::to_string(upload.Size);
  json += ",\"received\":" + std::to_string(upload.Received);
  json += ",\"checksum_announced\":" + JsonString(upload.ChecksumText);
  json += ",\"checksum_computed\":" + JsonString(Hex(upload.ChecksumComputed));
  json += ",\"version\":" + JsonString(upload.Version);
  json += ",\"result\":" + JsonString(UploadResultText(upload.Result));
  if (!image.empty()) json += ",\"image\":" + JsonString(image);
  return json + "}";
}

std::string TUnitRecorder::WriteImage(const TUnitUpload& upload) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir_, ec);
  const std::string name = ImageFileName(upload.Address);
  const fs::path target = fs::path(dir_) / name;
  const fs::path temporary = fs::path(dir_) / ("." + name + ".part");
  // Written aside and renamed, so a reader never sees half an image.
  TFile file(std::fopen(temporary.c_str(), "wb"));
  bool ok = file != nullptr;
  if (ok && !upload.Image.empty()) {
    ok =
        std::fwrite(upload.Image.data(), 1, upload.Image.size(), file.get()) == upload.Image.size();
  }
  if (file) ok = std::fclose(file.release()) == 0 && ok;
  if (ok) {
    fs::rename(temporary, target, ec);
    ok = !ec;
  }
  if (!ok) {
    error_ = target.string() + ": cannot write the image";
    fs::remove(temporary, ec);
    return {};
  }
  return target.string();
}

void TUnitRecorder::Uploaded(const TUnitUpload& upload) {
  std::string image;
  if (upload.Result == TUploadResult::urOk && !dir_.empty()) image = WriteImage(upload);
  if (record_) {
    std::fprintf(record_.get(), "%s\n", RecordJson(upload, image).c_str());
    std::fflush(record_.get());
  }
}

void TUnitRecorder::Log(const char* direction, std::string_view bytes, int64_t ms) {
  if (!transcript_ || bytes.empty()) return;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    std::string_view chunk = bytes.substr(at, 16);
    std::string hex;
    std::string text;
    for (unsigned char c : chunk) {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%02x ", c);
      hex += buffer;
      text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    std::fprintf(transcript_.get(), "%9lld %s %-48s|%s|\n", static_cast<long long>(ms), direction,
                 hex.c_str(), text.c_str());
  }
  std::fflush(transcript_.get());
}

}  // namespace kestrel
