#include "upload/upload.h"

namespace upload {

void op_upload() {}

}  // namespace upload
