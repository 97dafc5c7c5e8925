// Every statement of the module's source that a failure is reported at, named once.
//
// A traceback entry of the module shows a function's qualified name, a file and a line of
// the module's source. Each row below is one such site: the function, the file and the
// line, and a variant that tells apart the rows of one function and line (a method's own
// entry, its Python-visible wrapper's and its override check's, say). Code refers to a
// site by its name: `return fail(Site::kPatternRows);`.
//
// The site number shown in the entry's name, "(vendrel\sparse_solver:N)", is
// function × 100000 + line × 100 + variant, so it says where at a glance. Every row of a
// method's failure table is a site of its own, so one line may carry a dozen of them (the
// arguments, buffers and override of a Python-visible method). Entries of one site share a
// cached code object, so two sites must never share a number: the static_assert below
// sees to it.
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
  X(kResidualsMethod, kResiduals, kSourceFile, 19, 0)    /* the method's buffer of x */  \
  X(kResidualsArgument, kResiduals, kSourceFile, 19, 1)  /* the entry's buffer of x */   \
  X(kResidualsOverride, kResiduals, kSourceFile, 19, 2)  /* a redefinition's call */     \
  X(kResidualsMethodEntry, kResiduals, kSourceFile, 19, 3)  /* the entry failed */       \
  X(kResidualsLookup, kResiduals, kSourceFile, 19, 4)    /* looking up a redefinition */ \
  X(kResidualsOverrideResult, kResiduals, kSourceFile, 19, 5)                            \
  X(kResidualsPrint, kResiduals, kSourceFile, 22, 0)                                     \
  X(kResidualsNumpy, kResiduals, kSourceFile, 23, 0)     /* np not found */              \
  X(kResidualsZerosName, kResiduals, kSourceFile, 23, 1) /* np has no zeros */           \
  X(kResidualsLength, kResiduals, kSourceFile, 23, 2)    /* len(x) */                    \
  X(kResidualsCount, kResiduals, kSourceFile, 23, 3)     /* the length as an int */      \
  X(kResidualsZeros, kResiduals, kSourceFile, 23, 4)     /* the call of zeros */         \
  X(kResidualsZerosResult, kResiduals, kSourceFile, 23, 5)                               \
  /* compute_pattern */                                                                  \
  X(kPatternMethod, kPattern, kSourceFile, 25, 0)        /* the method's buffer of x0 */ \
  X(kPatternArgument, kPattern, kSourceFile, 25, 1)      /* the entry's buffer of x0 */  \
  X(kPatternOverride, kPattern, kSourceFile, 25, 2)                                      \
  X(kPatternMethodEntry, kPattern, kSourceFile, 25, 3)                                   \
  X(kPatternLookup, kPattern, kSourceFile, 25, 4)                                        \
  X(kPatternOverrideResult, kPattern, kSourceFile, 25, 5)                                \
  X(kPatternNone, kPattern, kSourceFile, 25, 6)          /* x0 None */                   \
  X(kPatternRows, kPattern, kSourceFile, 33, 0)                                          \
  X(kPatternCols, kPattern, kSourceFile, 34, 0)                                          \
  X(kPatternBase, kPattern, kSourceFile, 36, 0)          /* the base residual */         \
  X(kPatternBaseRefused, kPattern, kSourceFile, 36, 1)   /* ... refused by the view */   \
  X(kPatternBaseShort, kPattern, kSourceFile, 36, 2)     /* ... shorter than x0 */       \
  X(kPatternBaseMemory, kPattern, kSourceFile, 36, 3)    /* ... no room for its copy */  \
  X(kPatternEvaluate, kPattern, kSourceFile, 40, 0)                                      \
  X(kPatternEvaluateRefused, kPattern, kSourceFile, 40, 1)                               \
  X(kPatternEvaluateShort, kPattern, kSourceFile, 40, 2)                                 \
  X(kPatternEntry, kPattern, kSourceFile, 45, 0)         /* "i j is a thing" */          \
  X(kPatternAppendRow, kPattern, kSourceFile, 46, 0)                                     \
  X(kPatternAppendCol, kPattern, kSourceFile, 47, 0)                                     \
  X(kPatternStore, kPattern, kSourceFile, 48, 0)         /* pattern_rows */              \
  X(kPatternStoreResult, kPattern, kSourceFile, 48, 1)   /* ... not an array */          \
  X(kPatternResult, kPattern, kSourceFile, 49, 0)        /* the row array */             \
  X(kPatternResultCols, kPattern, kSourceFile, 49, 1)    /* the column array */          \
  X(kPatternResultPair, kPattern, kSourceFile, 49, 2)    /* the tuple of both */         \
  /* find_groups */                                                                      \
  X(kGroupsMethod, kGroups, kSourceFile, 51, 0)          /* the entry failed */          \
  X(kGroupsArguments, kGroups, kSourceFile, 51, 1)       /* the views as objects */      \
  X(kGroupsOverride, kGroups, kSourceFile, 51, 2)                                        \
  X(kGroupsLookup, kGroups, kSourceFile, 51, 3)                                          \
  X(kGroupsOverrideResult, kGroups, kSourceFile, 51, 4)                                  \
  X(kGroupsCount, kGroups, kSourceFile, 51, 5)           /* positions only, not 2 */     \
  X(kGroupsKeywordCount, kGroups, kSourceFile, 51, 6)    /* keywords, rows missing */    \
  X(kGroupsMissingCols, kGroups, kSourceFile, 51, 7)     /* keywords, cols missing */    \
  X(kGroupsKeyword, kGroups, kSourceFile, 51, 8)         /* a further keyword */         \
  X(kGroupsRows, kGroups, kSourceFile, 51, 9)            /* rows refused by its view */  \
  X(kGroupsCols, kGroups, kSourceFile, 51, 10)           /* cols refused by its view */  \
  X(kGroupsLastColumn, kGroups, kSourceFile, 61, 0)                                      \
  X(kGroupsInput, kGroups, kSourceFile, 61, 1)           /* no entries, None, short */   \
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
  return static_cast<int>(row.function) * 100000 + row.line * 100 + row.variant;
}

namespace detail {
constexpr bool site_numbers_distinct() noexcept {
  for (std::size_t i = 0; i < kSiteCount; ++i) {
    const SiteRow& a = kSiteRows[i];
    if (a.line < 1 || a.line > 999 || a.variant < 0 || a.variant > 99) return false;
    for (std::size_t j = i + 1; j < kSiteCount; ++j) {
      if (site_number(a) == site_number(kSiteRows[j])) return false;
    }
  }
  return true;
}
}  // namespace detail
static_assert(detail::site_numbers_distinct(), "two sites share a number, so a code object");

}  // namespace vendrel
