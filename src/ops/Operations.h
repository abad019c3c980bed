// The operations the progress dialog runs on its worker thread. Each reports through the
// log and returns success; the worker frame ignores the result.
#pragma once

#include "ops/Context.h"

bool RunCapture(OperationContext& context, bool append);
bool RunApply(OperationContext& context);
bool RunExport(OperationContext& context);
bool RunDelete(OperationContext& context);
bool RunModify(OperationContext& context);
bool RunMount(OperationContext& context);
bool RunUnmount(OperationContext& context);
