// The image chooser behind every "选择..." button: lists the images of
// request.chooserWimPath and lets the user pick one into request.chooserIndex.
#pragma once

#include "ops/Context.h"

class QWidget;

// Opens the chooser modally over owner; returns when it has closed. Its only effect is the
// new value of request.chooserIndex. Does nothing when the file cannot be read.
void openImageChooser(QWidget* owner, OperationRequest& request);
