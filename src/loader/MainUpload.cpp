// The file upload: checksums, blocks and the prompt check after them.

#include "MainUnit.h"

namespace kestrel {

void TKestrelForm::UploadButtonClick() {}

}  // namespace kestrel
