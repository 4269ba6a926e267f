#pragma once

#include "platform/text.h"

namespace varnix {

// Deletes every package backup under rootDir\_rollback after a good start.
void removeRollbackData(const WideString& rootDir);

}  // namespace varnix
