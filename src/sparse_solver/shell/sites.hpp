// Every statement of the module's source that a failure is reported at, named once.
//
// A traceback entry of the module shows a function's qualified name, a file and a line of
// the module's source. Each row below is one such site: the function, the file and the
// line, and a variant that tells apart the rows of one function and line (a method's own
// entry, its Python-visible wrapper's and its override check's, say). Code refers to a
// site by its name: `return fail(Site::kPatternRows);`.
//
// The site number shown in the entry's name, "(vendrel\sparse_solver:N)", is
// function × 100000 + line × 10 + variant, so it says where at a glance. Entries of one
// site share a cached code object, so two sites must never share a number: the
// static_assert below sees to it.
#pragma once

#include "messages.hpp"

#include <cstddef>

namespace vendrel {

// The file name that traceback entries of the module's own code show.
inline constexpr char kSourceFile[] = "vendrel\\sparse_solver";

// The compiled functions that traceback entries name, numbered from 1.
enum class Function : int { kInit = 1, kResiduals, kPattern, kGroups, kDoStuff };

inline constexpr const char* kFunctionNames[] = {
    nullptr,
    msg::kInitFunction,
    msg::kResidualsFunction,
    msg::kPatternFunction,
    msg::kGroupsFunction,
    msg::kDoStuffFunction,
};

// X(name, function, file, line, variant)
#define VS_SITES(X)                                                                      \
  /* Start-up, before the module's source runs: dictionary, builtins, constants. */     \
  X(kInitModule, kInit, kSourceFile, 1, 0)                                               \
  X(kInitClass, kInit, kSourceFile, 15, 0)     /* the class and its name */              \
  X(kInitViewTypes, kInit, "stringsource", 1, 1)                                         \
  /* The layout checks of the foreign types. */                                          \
  X(kInitType, kInit, "type", 9, 0)                                                      \
  X(kInitDtype, kInit, "__init__", 155, 0)                                               \
  X(kInitFlatiter, kInit, "__init__", 168, 0)                                            \
  X(kInitBroadcast, kInit, "__init__", 172, 0)                                           \
  X(kInitNdarray, kInit, "__init__", 181, 0)                                             \
  X(kInitUfunc, kInit, "__init__", 861, 0)                                               \
  /* The module's source. */                                                             \
  X(kInitNumpy, kInit, kSourceFile, 10, 0)     /* import numpy as np */                  \
  X(kInitScipy, kInit, kSourceFile, 11, 0)     /* import scipy.linalg */                 \
  X(kInitGroups, kInit, kSourceFile, 12, 0)    /* from test.test_os import groups */     \
  X(kInitTest, kInit, kSourceFile, 1, 2)       /* __test__ = {} */                       \
  /* compute_residuals */                                                                \
  X(kResidualsMethod, kResiduals, kSourceFile, 19, 0)    /* the Python-visible method */ \
  X(kResidualsArgument, kResiduals, kSourceFile, 19, 1)  /* the entry's buffer of x */   \
  X(kResidualsOverride, kResiduals, kSourceFile, 19, 2)  /* a redefinition's call */     \
  X(kResidualsPrint, kResiduals, kSourceFile, 22, 0)                                     \
  X(kResidualsZeros, kResiduals, kSourceFile, 23, 0)                                     \
  /* compute_pattern */                                                                  \
  X(kPatternMethod, kPattern, kSourceFile, 25, 0)                                        \
  X(kPatternArgument, kPattern, kSourceFile, 25, 1)      /* x0's buffer, None */         \
  X(kPatternOverride, kPattern, kSourceFile, 25, 2)                                      \
  X(kPatternRows, kPattern, kSourceFile, 33, 0)                                          \
  X(kPatternCols, kPattern, kSourceFile, 34, 0)                                          \
  X(kPatternBase, kPattern, kSourceFile, 36, 0)          /* the base residual */         \
  X(kPatternEvaluate, kPattern, kSourceFile, 40, 0)                                      \
  X(kPatternEntry, kPattern, kSourceFile, 45, 0)         /* "i j is a thing" */          \
  X(kPatternAppendRow, kPattern, kSourceFile, 46, 0)                                     \
  X(kPatternAppendCol, kPattern, kSourceFile, 47, 0)                                     \
  X(kPatternStore, kPattern, kSourceFile, 48, 0)         /* pattern_rows */              \
  X(kPatternResult, kPattern, kSourceFile, 49, 0)                                        \
  /* find_groups */                                                                      \
  X(kGroupsMethod, kGroups, kSourceFile, 51, 0)                                          \
  X(kGroupsArguments, kGroups, kSourceFile, 51, 1)       /* the views as objects */      \
  X(kGroupsOverride, kGroups, kSourceFile, 51, 2)                                        \
  X(kGroupsLastColumn, kGroups, kSourceFile, 61, 0)      /* and the input check */       \
  X(kGroupsNumbers, kGroups, kSourceFile, 64, 0)                                         \
  X(kGroupsFirst, kGroups, kSourceFile, 66, 0)                                           \
  X(kGroupsAppendFirst, kGroups, kSourceFile, 67, 0)                                     \
  X(kGroupsNewGroup, kGroups, kSourceFile, 70, 0)                                        \
  X(kGroupsAppend, kGroups, kSourceFile, 71, 0)                                          \
  X(kGroupsPrintGroups, kGroups, kSourceFile, 72, 0)                                     \
  X(kGroupsPrintRow, kGroups, kSourceFile, 79, 0)                                        \
  X(kGroupsEndRow, kGroups, kSourceFile, 80, 0)                                          \
  X(kGroupsFlags, kGroups, kSourceFile, 85, 0)                                           \
  X(kGroupsTrying, kGroups, kSourceFile, 91, 0)                                          \
  X(kGroupsAlreadyMerged, kGroups, kSourceFile, 93, 0)                                   \
  X(kGroupsRowII, kGroups, kSourceFile, 101, 0)                                          \
  X(kGroupsRowJJ, kGroups, kSourceFile, 103, 0)                                          \
  X(kGroupsShouldMerge, kGroups, kSourceFile, 108, 0)                                    \
  X(kGroupsMerge, kGroups, kSourceFile, 110, 0)                                          \
  X(kGroupsPrintMerged, kGroups, kSourceFile, 113, 0)                                    \
  X(kGroupsResult, kGroups, kSourceFile, 115, 0)                                         \
  X(kGroupsPrintFlag, kGroups, kSourceFile, 117, 0)                                      \
  X(kGroupsArray, kGroups, kSourceFile, 119, 0)                                          \
  X(kGroupsPrintResult, kGroups, kSourceFile, 120, 0)                                    \
  /* do_stuff */                                                                         \
  X(kDoStuffPrint, kDoStuff, kSourceFile, 131, 0)

#define VS_SITE_NAME(name, function, file, line, variant) name,
enum class Site : int { VS_SITES(VS_SITE_NAME) };
#undef VS_SITE_NAME

struct SiteRow {
  Function function;
  const char* file;
  int line;
  int variant;
};

#define VS_SITE_ROW(name, function, file, line, variant) {Function::function, file, line, variant},
inline constexpr SiteRow kSiteRows[] = {VS_SITES(VS_SITE_ROW)};
#undef VS_SITE_ROW

inline constexpr std::size_t kSiteCount = sizeof kSiteRows / sizeof kSiteRows[0];

inline constexpr const SiteRow& row_of(Site site) noexcept {
  return kSiteRows[static_cast<int>(site)];
}

inline constexpr int site_number(const SiteRow& row) noexcept {
  return static_cast<int>(row.function) * 100000 + row.line * 10 + row.variant;
}

namespace detail {
constexpr bool site_numbers_distinct() noexcept {
  for (std::size_t i = 0; i < kSiteCount; ++i) {
    const SiteRow& a = kSiteRows[i];
    if (a.line < 1 || a.line > 9999 || a.variant < 0 || a.variant > 9) return false;
    for (std::size_t j = i + 1; j < kSiteCount; ++j) {
      if (site_number(a) == site_number(kSiteRows[j])) return false;
    }
  }
  return true;
}
}  // namespace detail
static_assert(detail::site_numbers_distinct(), "two sites share a number, so a code object");

}  // namespace vendrel
