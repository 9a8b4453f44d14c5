#pragma once
// Generic implementations of the primitives, one per list entry. They define
// the results; the dispatch tables place them in every variant slot.

#include "primitives/internal/primitive_list.h"
#include "primitives/sp.h"

namespace sp::generic {

#define SP_DECLARE_GENERIC(name, ret, params, args) ret name params;
SP_PRIMITIVE_LIST(SP_DECLARE_GENERIC)
#undef SP_DECLARE_GENERIC

}  // namespace sp::generic
