// The "upload" operation.
#pragma once

namespace upload {

void op_upload();

}  // namespace upload
