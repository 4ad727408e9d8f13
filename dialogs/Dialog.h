// What the eight dialog exports share: the library's module state, the parameter forms, the export
// steps, and the count checks of the two image generators.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kx/kx.h"
#include "kxui/Framework.h"

namespace rk::dlg {

// The library's own module state, so that the framework finds the templates among its resources.
kxui::ModuleState& moduleState();

// An empty message map chained to the framework dialog's (OK and Cancel).
const kxui::MessageMap* emptyMessageMap();

constexpr unsigned kMessageStyle = 0x10;  // stop icon, one OK button
inline constexpr const char* kMessageTitle = "Korvex - Hinweis";

// How a parameter is read from the host and written back.
enum class Form {
  VariantDouble,  // the double member of the VARIANT; written as VT_R8
  VariantInt,     // the 32-bit integer member of the VARIANT; written as VT_I4
  TypedDouble,    // kxGetParameter(n, double*) / kxSetParameter(n, double)
  TypedInt,       // kxGetParameter(n, int*, default, 0, 2) / kxSetParameter(n, int)
};

// One edited parameter: its index in the catalogue list, its form and the member holding it.
template <class D>
struct Param {
  int32_t index;
  Form form;
  double D::*real;
  int32_t D::*integer;
  int catalogueDefault;  // TypedInt only: the first of the three extra read arguments
};

template <class D>
constexpr Param<D> variantDouble(int32_t index, double D::*m) {
  return {index, Form::VariantDouble, m, nullptr, 0};
}
template <class D>
constexpr Param<D> variantInt(int32_t index, int32_t D::*m) {
  return {index, Form::VariantInt, nullptr, m, 0};
}
template <class D>
constexpr Param<D> typedDouble(int32_t index, double D::*m) {
  return {index, Form::TypedDouble, m, nullptr, 0};
}
template <class D>
constexpr Param<D> typedInt(int32_t index, int32_t D::*m, int catalogueDefault) {
  return {index, Form::TypedInt, nullptr, m, catalogueDefault};
}

template <class D>
void read(D& dialog, const Param<D>& p) {
  switch (p.form) {
    case Form::VariantDouble:
      dialog.*p.real = Parameter::kxGetParameter(p.index).dblVal;
      break;
    case Form::VariantInt:
      dialog.*p.integer = Parameter::kxGetParameter(p.index).lVal;
      break;
    case Form::TypedDouble:
      Parameter::kxGetParameter(p.index, &(dialog.*p.real));
      break;
    case Form::TypedInt:
      Parameter::kxGetParameter(p.index, &(dialog.*p.integer), p.catalogueDefault, 0, 2);
      break;
  }
}

template <class D>
void write(const D& dialog, const Param<D>& p) {
  tagVARIANT v{};
  switch (p.form) {
    case Form::VariantDouble:
      v.vt = VT_R8;
      v.dblVal = dialog.*p.real;
      Parameter::kxSetParameter(p.index, v);
      break;
    case Form::VariantInt:
      v.vt = VT_I4;
      v.lVal = dialog.*p.integer;
      Parameter::kxSetParameter(p.index, v);
      break;
    case Form::TypedDouble:
      Parameter::kxSetParameter(p.index, dialog.*p.real);
      break;
    case Form::TypedInt:
      Parameter::kxSetParameter(p.index, dialog.*p.integer);
      break;
  }
}

// The steps of every export: the library's module state, the parent window, the dialog on the
// stack, the parameters read in index order, the modal run, and on OK every parameter written back
// in index order. The dialog is destroyed before the module state is restored, on every path.
template <class D, std::size_t N>
int runDialog(const std::array<Param<D>, N>& params) {
  kxui::ModuleStateScope state(moduleState());
  kxui::Window* parent = kxui::mainWindow();
  D dialog(parent);
  for (const Param<D>& p : params) read(dialog, p);
  if (dialog.doModal() == kxui::kButtonOk)
    for (const Param<D>& p : params) write(dialog, p);
  return 1;
}

// The checks of the image counts and sizes, made after the last exchange when OK is pressed; the
// first that fails shows its message and keeps the dialog open.
void checkCounts(kxui::DataExchange& dx, int32_t count, int32_t planes, int32_t x, int32_t y);

}  // namespace rk::dlg
