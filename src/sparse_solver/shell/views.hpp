// Typed views over the buffers of array arguments, and the objects that own them.
#pragma once

#include "compat.hpp"

namespace vendrel {

// Start-up hooks of the view support: constants, type readiness, final registration.
int make_view_constants() noexcept;
int ready_view_types() noexcept;
int finish_view_support() noexcept;

}  // namespace vendrel
