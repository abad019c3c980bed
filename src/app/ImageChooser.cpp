#include "app/ImageChooser.h"

// The chooser arrives with the imaging layer; until then it leaves the index unchanged.
void openImageChooser(QWidget*, OperationRequest&) {}
