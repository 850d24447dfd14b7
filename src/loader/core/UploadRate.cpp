#include "loader/core/UploadRate.h"

#include <algorithm>
#include <cstdio>

namespace kestrel {

std::string upload_progress_text(uint64_t sent, uint64_t total, double seconds) {
  const int percent = total == 0 ? 100 : int(std::min(sent, total) * 100 / total);
  const double rate = seconds > 0 ? double(sent) / seconds : 0;
  char text[160];
  if (rate > 0 && sent < total)
    std::snprintf(text, sizeof text, "%llu of %llu bytes (%d%%), %.1f kB/s, %.0f s left",
                  static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total),
                  percent, rate / 1000, double(total - sent) / rate);
  else
    std::snprintf(text, sizeof text, "%llu of %llu bytes (%d%%)",
                  static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total),
                  percent);
  return text;
}

}  // namespace kestrel
