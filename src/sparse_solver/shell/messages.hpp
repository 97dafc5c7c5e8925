// Every text the module shows its users: exception messages, warnings and printed lines.
// (The descriptions of buffer format codes are rows of the format table, buffer_format.cpp.)
// Formats follow PyErr_Format / PyUnicode_FromFormat unless a comment says otherwise.
#pragma once

namespace vendrel::msg {

// The functions that traceback entries name.
inline constexpr char kInitFunction[] = "init vendrel.sparse_solver";
inline constexpr char kResidualsFunction[] = "vendrel.sparse_solver.SparseSolver.compute_residuals";
inline constexpr char kPatternFunction[] = "vendrel.sparse_solver.SparseSolver.compute_pattern";
inline constexpr char kGroupsFunction[] = "vendrel.sparse_solver.SparseSolver.find_groups";
inline constexpr char kDoStuffFunction[] = "vendrel.sparse_solver.SparseSolver.do_stuff";

// Start-up.
inline constexpr char kModuleName[] = "vendrel.sparse_solver";
inline constexpr char kVersionMismatch[] =  // snprintf
    "compiletime version %s of module '%.100s' does not match runtime version %s";
inline constexpr char kNotAType[] = "%.200s.%.200s is not a type object";
inline constexpr char kSizeChanged[] =  // snprintf
    "%s.%s size changed, may indicate binary incompatibility";
inline constexpr char kWrongSize[] = "%.200s.%.200s has the wrong size, try recompiling";
inline constexpr char kCannotImportName[] = "cannot import name %S";
inline constexpr char kNameNotDefined[] = "name '%U' is not defined";

// Result checks.
inline constexpr char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr char kExpectedType[] = "Expected %.16s, got %.200s";

// Argument type test.
inline constexpr char kArgumentType[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kMissingType[] = "Missing type object";

// Argument passing.
inline constexpr char kArgumentCount[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";

// Buffers and typed views.
inline constexpr char kWrongDimensions[] =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr char kItemSize[] =
    "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
inline constexpr char kSuboffsetsNoStrides[] = "Buffer exposes suboffsets but no strides";
inline constexpr char kNotDirect[] = "Buffer not compatible with direct access in dimension %d.";
inline constexpr char kAcquisitionCount[] = "Acquisition count is %d (line %d)";  // snprintf
inline constexpr char kNotWritable[] = "Object is not writable.";
inline constexpr char kNotContiguous[] = "underlying buffer is not contiguous";

// Buffer formats (buffer_format.cpp, which formats them with snprintf: %s is a character
// as UTF-8). The descriptions of format codes are the rows of its table.
inline constexpr char kDtypeMismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr char kFieldOffset[] =
    "Buffer dtype mismatch; next field is at offset %zd but %zd expected";
inline constexpr char kNoStandardLongDouble[] =
    "Python does not define a standard format string size for long double ('g')..";
inline constexpr char kBigEndian[] = "Big-endian buffer not supported on little-endian compiler";
inline constexpr char kUnknownFormatCharacter[] =
    "Does not understand character buffer dtype format string ('%s')";
inline constexpr char kUnexpectedFormatCharacter[] = "Unexpected format string character: '%s'";
inline constexpr char kExpectedBrace[] = "Buffer acquisition: Expected '{' after 'T'";
inline constexpr char kRepeatedArrays[] = "Cannot handle repeated arrays in format string";
inline constexpr char kExpectedComma[] = "Expected a comma in format string, got '%s'";
inline constexpr char kShapeDimensions[] = "Expected %d dimension(s), got %d";
inline constexpr char kUnclosedShape[] = "Unexpected end of format string, expected ')'";

// Printed lines.
inline constexpr char kBaseResidual[] = "computing base residual";
inline constexpr char kIsAThing[] = "is a thing";
inline constexpr char kTryingToMerge[] = "trying to merge colum ";
inline constexpr char kInColumn[] = "in column ";
inline constexpr char kAlreadyMerged[] = "already merged";
inline constexpr char kRowII[] = "row ii";
inline constexpr char kRowJJ[] = "row jj";
inline constexpr char kShouldMerge[] = "should merge";
inline constexpr char kMerged[] = "merged";

// Input outside the methods' contract.
inline constexpr char kMustNotBeNone[] = "Argument '%.200s' must not be None";
inline constexpr char kShortResidual[] =
    "compute_residuals returned %zd values, fewer than the %zd of x0";
inline constexpr char kNoEntries[] = "find_groups needs at least one entry in cols";
inline constexpr char kShortRows[] = "rows has %zd entries, fewer than the %zd of cols";
inline constexpr char kShortFlags[] = "np.zeros returned %zd flags for %zd groups";

}  // namespace vendrel::msg
