#include "loader/windows/JpegPicture.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return:
// it jumps back into decode_jpeg. Warnings are kept instead of printed.
struct TJpegErrors {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
  char FirstWarning[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<TJpegErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->Message);
  std::longjmp(errors->Jump, 1);
}

void on_message(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<TJpegErrors*>(cinfo->err);
  if (errors->FirstWarning[0] == 0) (*cinfo->err->format_message)(cinfo, errors->FirstWarning);
}

// Everything libjpeg touches lives here, outside the frame that calls
// setjmp, so that nothing with a destructor is skipped by the jump.
struct TJpegJob {
  jpeg_decompress_struct Info;
  TJpegErrors Errors;
  unsigned char* Pixels = nullptr;
  const char* Refusal = nullptr;  // why a readable picture is not taken
};

// Returns true with Pixels filled, or false with Errors.Message or Refusal set.
bool run_decoder(TJpegJob& job, const uint8_t* data, size_t size) {
  jpeg_decompress_struct& cinfo = job.Info;
  if (setjmp(job.Errors.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    std::free(job.Pixels);
    job.Pixels = nullptr;
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.num_components != 3) {
    job.Refusal = "the picture does not have three colour components";
  } else if (uint64_t(cinfo.image_width) * cinfo.image_height > kMaxJpegPixels) {
    job.Refusal = "the picture is too large";
  }
  if (job.Refusal) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const size_t stride = size_t(cinfo.output_width) * 3;
  job.Pixels = static_cast<unsigned char*>(std::malloc(stride * cinfo.output_height));
  if (!job.Pixels) {
    job.Refusal = "not enough memory for the picture";
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = job.Pixels + size_t(cinfo.output_scanline) * stride;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  const bool damaged = cinfo.err->num_warnings > 0;
  jpeg_destroy_decompress(&cinfo);
  if (damaged) {
    std::free(job.Pixels);
    job.Pixels = nullptr;
    std::memcpy(job.Errors.Message, job.Errors.FirstWarning, sizeof job.Errors.Message);
    return false;
  }
  return true;
}

}  // namespace

QImage decode_jpeg(const uint8_t* data, size_t size, std::string& error) {
  error.clear();
  if (!data || size == 0) {
    error = "the picture is empty";
    return {};
  }
  TJpegJob job;
  std::memset(&job.Info, 0, sizeof job.Info);
  std::memset(&job.Errors, 0, sizeof job.Errors);
  job.Info.err = jpeg_std_error(&job.Errors.Manager);
  job.Errors.Manager.error_exit = on_error;
  job.Errors.Manager.output_message = on_message;
  if (!run_decoder(job, data, size)) {
    error = job.Refusal ? job.Refusal : job.Errors.Message;
    if (error.empty()) error = "the picture cannot be decoded";
    return {};
  }
  const int width = int(job.Info.output_width);
  const int height = int(job.Info.output_height);
  // The image takes the pixel buffer over and frees it.
  return QImage(job.Pixels, width, height, width * 3, QImage::Format_RGB888, std::free, job.Pixels);
}

}  // namespace kestrel
