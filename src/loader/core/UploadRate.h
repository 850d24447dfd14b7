#pragma once
// How far an upload has come, as the status bar and the console tell it.

#include <cstdint>
#include <string>

namespace kestrel {

// "24000 of 100000 bytes (24%), 3.8 kB/s, 20 s left" after `seconds`; the
// rate and the time left only once they can be told and bytes remain.
std::string upload_progress_text(uint64_t sent, uint64_t total, double seconds);

}  // namespace kestrel
