#pragma once
// Decoding of the JPEG pictures the program carries (the second brand's
// splash) through the libjpeg API.

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// Largest picture accepted, in pixels: a damaged header must not make the
// decoder ask for gigabytes.
inline constexpr uint64_t kMaxJpegPixels = 4096ull * 4096ull;

// Decodes a JPEG with three colour components held in memory into an RGB
// image. A damaged, truncated or unsuitable picture gives a null image and
// the reason in `error`; libjpeg's warnings about corrupt data count as
// damage too. Any thread.
QImage decode_jpeg(const uint8_t* data, size_t size, std::string& error);

}  // namespace kestrel
