// The layer's own write of image information and the boot index (see ImagingCommit.h).
#pragma once

#include "ImagingHandles.h"

namespace imaging {

// Writes the handle's pending information (the view's text, informationToWrite) and boot
// index into its existing file through `out`, a descriptor of w.fd's file open for writing;
// the caller has locked the file and found it unchanged since w.identity was taken. The integrity table is kept (or made, when the handle asks for
// one and the file has none). ERROR_SUCCESS, or the cause; on failure the file reads as
// before (and is byte for byte as before unless a kill stopped the write). *replaced is set
// when the write was done but the path names another file now (ERROR_SHARING_VIOLATION).
// ERROR_NOT_SUPPORTED for a boot image whose metadata the blob table does not show.
DWORD writeInformation(WimHandle& w, int out, bool& replaced);

} // namespace imaging
