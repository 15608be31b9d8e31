// The box owns its descriptors with the same holder as the product.
#pragma once

#include "base/unique_fd.h"

namespace boardbox
{

using ::UniqueFd;

} // namespace boardbox
