// Small pieces the operations share.
#pragma once

#include "ops/Context.h"
#include "platform/Kernel.h"

#include <QString>

#include <cstdint>
#include <string>

// The closing line of delete and modify: string 174 within a second of the start, else
// string 173 with the elapsed time.
void logOperationSuccess(OperationContext& context);

// The opening steps of delete and modify: logs string 162, opens `path` for reading and
// writing (integrity checked when `verify`), sets the temporary folder and checks `index`
// against the image count. On failure logs 163, 164, 165 or 166, closes what it opened and
// returns null.
HANDLE openWimForChange(OperationContext& context, const QString& path, bool verify,
                        std::uint32_t index);
