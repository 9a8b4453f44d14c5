#pragma once

// Read access to MATLAB MAT files with the calls of MATLAB's MAT-file
// library (matOpen, matGetVariable, mxGetPr, ...), over libmatio. Level 4,
// level 5 (compressed or not) and 7.3 (HDF5) files are read.
//
// The file is parsed only in child processes, since a damaged file can
// crash or hang libmatio, zlib or HDF5: one child checks at matOpen that the
// library opens the file, and each matGetVariable reads its one variable in
// a child of its own and sends it back. A child that fails, dies or overruns
// its time means the file cannot be opened or the variable is missing; the
// class, shape and size of every array sent back are checked again.
// Variables that are not asked for are never parsed.
//
// No call throws or aborts on any file content. All calls accept null
// handles and then return the "nothing" value given with each.
// A handle is used by one thread at a time; different handles are independent.

#include <cstddef>

namespace tessaro {

// An open MAT file (opaque).
struct MATFile;
// One array read from a MAT file, owned by the caller (opaque).
struct mxArray;

// Opens the file at path for reading. mode must be "r"; other modes (writing)
// are not offered and give null. Null also when the path is null, the file
// cannot be read, or it is not a well-formed MAT file (see above).
MATFile* matOpen(const char* path, const char* mode);

// Closes the file; arrays already read stay valid. Returns 0, or EOF (-1)
// for a null handle.
int matClose(MATFile* file);

// A copy of the variable called name, to be released with mxDestroyArray.
// Null when there is no such variable, name or file is null or name is "",
// the array cannot be held in memory, or the library cannot read it (the
// file open since matOpen is read, even if it changed). When several
// variables share the name, the first.
mxArray* matGetVariable(MATFile* file, const char* name);

// Releases an array from matGetVariable; null is ignored.
void mxDestroyArray(mxArray* array);

// Number of rows: the first dimension. 0 for null.
size_t mxGetM(const mxArray* array);

// Number of columns: the product of all dimensions after the first, so an
// M x N x P array has N*P columns. 0 for null.
size_t mxGetN(const mxArray* array);

// Number of dimensions, at least 2. 0 for null.
size_t mxGetNumberOfDimensions(const mxArray* array);

// The mxGetNumberOfDimensions sizes, first dimension first; valid while the
// array lives. Null for null.
const size_t* mxGetDimensions(const mxArray* array);

// Product of all dimensions. 0 for null.
size_t mxGetNumberOfElements(const mxArray* array);

// The real data as mxGetNumberOfElements doubles, column-major (element
// (i, j) of an M-row matrix at i + j*M), valid while the array lives.
// Numeric classes other than double (single, integers) and logical arrays
// are converted exactly to double (64-bit integers beyond 2^53 round to the
// nearest double). Null for complex, sparse, char, cell, struct and object
// arrays, for empty arrays and for null.
const double* mxGetPr(const mxArray* array);

// Copies the text of a char array into buf as a NUL-terminated UTF-8 string,
// characters in column-major order. At most buflen - 1 bytes of text are
// written, and never part of a character: a longer text is cut at the last
// character boundary that fits. Returns 0 when the whole text fitted, 1 when
// it was cut (buf holds the cut text) or when the array is not a char array
// or null (buf holds an empty string). Writes nothing when buf is null or
// buflen is 0 (and returns 1).
int mxGetString(const mxArray* array, char* buf, size_t buflen);

// Class queries; all false for null.
bool mxIsChar(const mxArray* array);
// Double, single or an integer class; logical arrays are not numeric.
bool mxIsNumeric(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsLogical(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsCell(const mxArray* array);
bool mxIsStruct(const mxArray* array);

}  // namespace tessaro
