// Lattice colourings: columns read as the points of a box numbered in mixed radix, and
// coloured c(x) = (a . x) mod k, the cyclic colourings of Goldfarb and Toint (1984).
#pragma once

#include "orderings.hpp"

namespace grouping {

// Looks for a box numbering of the columns under which the pattern's column conflicts
// repeat from point to point, and for the cyclic colouring of fewest colours that keeps
// every conflicting pair apart; columns it does not fit (boundaries, irregular rows) are
// recoloured first fit. True, with the colouring in `out`, when it needs fewer than
// `fewer_than` groups; false when no numbering or cyclic colouring fits that well.
bool lattice_coloring(Context& context, Index fewer_than, Coloring& out);

}  // namespace grouping
