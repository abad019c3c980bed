// Everything the imaging layer's own files share, for its files and its tests: the handles
// (ImagingHandles.h), the commit path (ImagingCommit.h), the undo record (ImagingUndo.h),
// the progress bridge (ImagingProgress.h), the XML view (ImagingXml.h) and what the layer
// reads of a WIM file itself (WimFile.h).
#pragma once

#include "ImagingCommit.h"
#include "ImagingHandles.h"
#include "ImagingProgress.h"
#include "ImagingUndo.h"
#include "ImagingXml.h"
#include "WimFile.h"
