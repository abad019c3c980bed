#include "ops/Context.h"

#include "ops/Text.h"

OperationContext::OperationContext() = default;

OperationContext::~OperationContext()
{
    // The worker has finished its frame before the dialog (and so the program) can end;
    // joining only collects the thread.
    if (workerThread.joinable())
        workerThread.join();
}

void resetRequestDefaults(OperationRequest& request)
{
    request = OperationRequest();
    request.captureCompression = loadString(Text::CompressionFast);
    request.exportCompression = loadString(Text::CompressionFast);
}

OperationContext& globalContext()
{
    static OperationContext context;
    return context;
}
