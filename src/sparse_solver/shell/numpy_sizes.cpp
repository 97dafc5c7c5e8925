// The choice among the NumPy layouts that the build compiled: by the C-API feature level of
// the running release, which the headers' release table gives.
#include "shell/numpy_sizes.hpp"

#include "numpy_levels.hpp"
#include "shell/version_text.hpp"

#include <iterator>

namespace vendrel {

#define VS_DECLARE_SIZES(level) extern const NumpySizes kNumpySizesLevel##level;
VS_NUMPY_LEVELS(VS_DECLARE_SIZES)
#undef VS_DECLARE_SIZES

namespace {

#define VS_RELEASE_ROW(major, minor, level) {major, minor, level},
constexpr NumpyRelease kReleases[] = {
    {0, 0, 0},  // every release before the first the headers name: the 1.x layouts
    VS_NUMPY_RELEASES(VS_RELEASE_ROW)};
#undef VS_RELEASE_ROW

struct Layout {
  unsigned level;
  const NumpySizes* sizes;
};

#define VS_LAYOUT_ROW(level) {level, &kNumpySizesLevel##level},
const Layout kLayouts[] = {{0, &kNumpySizesAbi1}, VS_NUMPY_LEVELS(VS_LAYOUT_ROW)};
#undef VS_LAYOUT_ROW

}  // namespace

const NumpySizes& numpy_sizes_for(const char* version) noexcept {
  unsigned level = numpy_feature_level(version, kReleases, std::size(kReleases));
  for (const Layout& layout : kLayouts) {
    if (layout.level == level) return *layout.sizes;
  }
  return kNumpySizesAbi1;  // not reached: every release's level has its layout
}

}  // namespace vendrel
