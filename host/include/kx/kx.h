// The host interface: the only way a plug-in reaches pins, streams, matrices, parameters and messages.
//
// Every operation is static and acts on the processor instance the host has made current for the
// run (or the dialog) in progress, with one current pin index and one current matrix index. All
// counts and indices are 32-bit and counted from 0. Failures of host operations are thrown as a
// pointer to a new kxEx; a plug-in reports its own failures by throwing a pointer to a new kxProcEx.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kx/kxApi.h"

// Element type code of a pin (0 8-bit unsigned, 2 32-bit signed, 3 float, 4 double; others unknown).
using kxType = int32_t;

// The 16-byte variant that carries parameter values (vt, three reserved words, then the value).
// Only VT_I4 (lVal) and VT_R8 (dblVal) are used. Windows has its own definition of the same layout.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <oaidl.h>
#include <windows.h>
#else
enum : uint16_t { VT_EMPTY = 0, VT_I4 = 3, VT_R8 = 5 };
struct tagVARIANT {
  uint16_t vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int32_t lVal;
    double dblVal;
  };
};
using VARIANT = tagVARIANT;
#endif
#if !defined(_WIN64)  // 64-bit Windows widens its VARIANT to 24 bytes
static_assert(sizeof(tagVARIANT) == 16, "the host passes parameters as 16-byte variants");
#endif

// Owned, NUL-terminated 8-bit (Latin-1) text. Storage is allocated and freed inside the host library
// so that texts may cross the module boundary whatever runtime each side was built with.
class KX_API kxString {
public:
  kxString();
  kxString(const char* text);  // NOLINT: implicit on purpose, names are assigned from literals
  kxString(const kxString& other);
  kxString& operator=(const kxString& other);
  kxString& operator=(const char* text);
  ~kxString();

  const char* c_str() const { return text_ ? text_ : ""; }
  int32_t length() const;

private:
  char* text_;
};

// Opaque bytes the user attached to a matrix; processors only carry them along.
class KX_API kxUserDatas {
public:
  kxUserDatas();
  kxUserDatas(const kxUserDatas& other);
  kxUserDatas& operator=(const kxUserDatas& other);
  ~kxUserDatas();

  void assign(const void* bytes, int32_t size);
  const unsigned char* data() const { return bytes_; }
  int32_t size() const { return size_; }

private:
  unsigned char* bytes_;
  int32_t size_;
};

// Information about one matrix (or a stream's meta information).
class KX_API kxMInfo {
public:
  int32_t Count;   // X * Y * Planes
  int32_t X;       // columns
  int32_t Y;       // rows
  int32_t Planes;  // values per pixel, adjacent in memory
  kxString Name;
  kxUserDatas UserDatas;

  kxMInfo();
  kxMInfo(const kxMInfo& other);
  kxMInfo& operator=(const kxMInfo& other);
  ~kxMInfo();

  // printf-style name, e.g. kxSetName("Picture %d", i).
  void kxSetName(const char* format, ...) KX_FORMAT(2, 3);
};

// Base of every exception the host catches. Allocation and release stay inside the host library.
class KX_API kxEx {
public:
  explicit kxEx(const char* text);
  virtual ~kxEx();
  const char* kxGetText() const { return text_.c_str(); }

  static void* operator new(std::size_t size);
  static void operator delete(void* p);

private:
  kxString text_;
};

// A processor's own failure; thrown as `throw new kxProcEx(text)`.
class KX_API kxProcEx : public kxEx {
public:
  explicit kxProcEx(const char* text);
  ~kxProcEx() override;
};

class KX_API kxInterface {
public:
  kxInterface();
  virtual ~kxInterface();

  // Selects input pin n and output pin n at once.
  static int kxSetPin(int32_t n);
  // Selects matrix i of the current pin; the index is kept across pin changes.
  static int kxSetMatrix(int32_t i);
  // Matrix count of the current input pin (input != 0) or output pin (input == 0).
  static int kxGetMCount(int32_t* n, int32_t input);
  // Element count X*Y*Planes of the current input matrix (input != 0) or output matrix; counted in
  // elements when inElements != 0, else in bytes. A matrix that does not exist has length 0.
  static int kxGetVecLength(int32_t* n, int32_t input, int32_t inElements);
  // Elements (contiguous, rows one after another) or Y row pointers of the current input matrix.
  // Asking for a matrix that does not exist throws.
  static void* kxGetIVector();
  static void** kxGetIMatrix();
  // Creates output matrix i (the current matrix index) on the current output pin with the size,
  // planes, name and user data of *info and the pin's element type, zero-filled; returns its
  // elements or its row pointers. The element count is recomputed from X, Y and Planes; a size
  // with any member of zero or below gives a matrix without elements.
  static void* kxGetOVector(const kxMInfo* info);
  static void** kxGetOMatrix(const kxMInfo* info);
  // Smallest and largest element of the current input matrix (NaN elements are skipped).
  static int kxGetMinMax(double* min, double* max);
};

class KX_API kxPin {
public:
  static kxType kxGetIPinType();
  static kxType kxGetOPinType();
  static int kxGetIPinOccupied();
  static int kxGetOPinOccupied();
};

class KX_API kxInfo {
public:
  // Information of the current input matrix; zero sizes and an empty name when it does not exist.
  static int kxGetMInfo(kxMInfo* info);
  // Stream meta information of the current input pin / to the current output pin.
  static int kxGetMetaInfo(kxMInfo* info);
  static int kxSetMetaInfo(const kxMInfo* info);
};

class KX_API Parameter {
public:
  // Value of parameter n of the processor's catalogue list.
  static tagVARIANT kxGetParameter(int32_t n);
  // Typed reads: the stored value converted (a double is truncated toward zero for an integer).
  static int kxGetParameter(int32_t n, double* value);
  static int kxGetParameter(int32_t n, int32_t* value);
  // Integer read with the catalogue default, a lower and an upper flag; returns like the plain read.
  static int kxGetParameter(int32_t n, int32_t* value, int defaultValue, int reserved1, int reserved2);
  static int kxSetParameter(int32_t n, tagVARIANT value);
  static int kxSetParameter(int32_t n, double value);
  static int kxSetParameter(int32_t n, int32_t value);
};

class KX_API kxSafety {
public:
  // Input pins listed and ended by -1. Guarantees, or throws before anything is read:
  //  - one pin: every matrix of its stream has the size (X, Y, Planes) of matrix 0;
  //  - several pins with equal matrix counts: matrix i has the same size on every pin;
  //  - several pins with unequal counts: every matrix of the first pin has the size of matrix 0 of
  //    each further pin that has a matrix.
  // So a processor that pairs matrix i with matrix i, or every matrix of the first pin with
  // matrix 0 of another, never reads beyond a matrix. Unequal counts alone are accepted.
  static int kxCompareStreams(int32_t pin, ...);
  // Throws when the listed input pins (ended by -1) differ in matrix count.
  static int kxCompareMCount(int32_t pin, ...);
};

class KX_API kxQMessages {
public:
  // A warning for the user; the run goes on.
  static void kxSetWarning(const char* format, ...) KX_FORMAT(1, 2);
  // A modal message box; style 0x10 is the stop icon with one OK button. Returns the button id.
  static int MsgBox(const char* text, unsigned int style, const char* title);
};
