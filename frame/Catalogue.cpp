// The catalogue as data: every processor's entry, names, GUID, category, pins, parameters, dialog.
#include "frame/Catalogue.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "kx/kxApi.h"

namespace rk {
namespace {

// Each record points to an info table of its own; the contents are the same for all.
template <int N>
constexpr InfoPair kInfo[] = {
    {"Version", "2.0"}, {"Author", "Korvex-Team"}, {"Compiled", __DATE__ " " __TIME__}, {nullptr, nullptr}};

constexpr kxWord kAll = 0x1d;     // codes 0, 2, 3, 4
constexpr kxWord kDouble = 0x10;  // code 4 only
constexpr PinDescriptor kEnd = {nullptr, 0, 0, 0, 0};

constexpr PinDescriptor image(kxWord defaultType = 0, const char* name = "Bilddaten", kxWord required = 1) {
  return {name, required, kAll, defaultType, -1};
}

// Pin lists (shared where processors have the same pins).
constexpr PinDescriptor kNoPins[] = {kEnd};
constexpr PinDescriptor kImage[] = {image(), kEnd};
constexpr PinDescriptor kImage2[] = {image(), image(), kEnd};
constexpr PinDescriptor kInt2[] = {image(2), image(2), kEnd};
constexpr PinDescriptor kInt[] = {image(2), kEnd};
constexpr PinDescriptor kImageScalar[] = {image(), {"Scalar", 0, kDouble, 4, -1}, kEnd};
constexpr PinDescriptor kFeatures[] = {image(0, "Merkmale"), kEnd};
constexpr PinDescriptor kFeaturesDouble[] = {image(4, "Merkmale"), kEnd};
constexpr PinDescriptor kRgbIn[] = {image(0, "rot"), image(0, "gr\xfcn"), image(0, "blau"), kEnd};
constexpr PinDescriptor kRgbOut[] = {image(0, "rot", 0), image(0, "gr\xfcn", 0), image(0, "blau", 0), kEnd};
constexpr PinDescriptor kColour[] = {image(0, "Farbbild"), kEnd};

// Parameter lists.
constexpr ParameterDescriptor kNoParam = {nullptr, 0, nullptr};
constexpr ParameterDescriptor kMittelwertParams[] = {{"Mittelwerttyp", 2, "1"}, kNoParam};
constexpr ParameterDescriptor kBinAdaptParams[] = {{"above", 4, "255"},  {"below", 4, "0"}, {"consta", 4, "10"},
                                                   {"offset", 4, "0,1"}, {"TA", 2, "0"},    kNoParam};
constexpr ParameterDescriptor kBinParams[] = {
    {"above", 4, "255"}, {"below", 4, "0"}, {"threshold", 4, "128"}, kNoParam};
constexpr ParameterDescriptor kScalarParams[] = {{"scalar", 4, "1"}, kNoParam};
constexpr ParameterDescriptor kBlendParams[] = {{"blendfaktor", 4, "1"}, kNoParam};
constexpr ParameterDescriptor kConstParams[] = {{"scalar", 4, "1"}, {"MCount", 2, "1"}, {"X", 2, "100"},
                                                {"Y", 2, "100"},    {"Plane", 2, "1"},  kNoParam};
constexpr ParameterDescriptor kPlaneParams[] = {{"Slope", 4, "1"}, {"Offset", 4, "0"}, {"MCount", 2, "1"},
                                                {"X", 2, "255"},   {"Y", 2, "255"},    {"Planes", 2, "1"},
                                                kNoParam};
constexpr ParameterDescriptor kTransformParams[] = {{"TransType", 2, "0"}, {"RotDegree", 4, "0"}, kNoParam};

// Dialog records.
constexpr DialogDescriptor dialog(const char* function) { return {"L", "", function, " "}; }
constexpr DialogDescriptor kDlgMittelwert = dialog("DlgMittelwert");
constexpr DialogDescriptor kDlgBinAdapt = dialog("DlgBinAdapt");
constexpr DialogDescriptor kDlgBin = dialog("DlgBin");
constexpr DialogDescriptor kDlgScalar = dialog("DlgScalar");
constexpr DialogDescriptor kDlgBlendImage = dialog("DlgBlendImage");
constexpr DialogDescriptor kDlgConstImage = dialog("DlgConstImage");
constexpr DialogDescriptor kDlgImagePlane = dialog("DlgImagePlane");
constexpr DialogDescriptor kDlgTransform = dialog("DlgTransform");

constexpr const char* kColourCat = "Bildverarbeitung\\Farbbildverarbeitung\\";
constexpr const char* kFeatureCat = "Bildverarbeitung\\Merkmalbildung\\";
constexpr const char* kSegmentCat = "Bildverarbeitung\\Segmentierung\\";
constexpr const char* kDyadicCat = "Bildverarbeitung\\Arithmetik\\Dyadische\\";
constexpr const char* kMonadicCat = "Bildverarbeitung\\Arithmetik\\Monadische\\";
constexpr const char* kGeneratorCat = "Bildverarbeitung\\Generieren von Bildern\\";
constexpr const char* kLogicCat = "Bildverarbeitung\\Logische Operatoren\\";
constexpr const char* kTextureCat = "Bildverarbeitung\\Texturanalyse\\";
constexpr const char* kImageCat = "Bildverarbeitung\\";

// entry, display name, GUID, category, -1, dialog, parameters, inputs, outputs, info table
constexpr ProcessorDescriptor kRecords[kProcessorCount] = {
    {"_RGBJoin", "RGB Join", "1F713D58-5FFB-11d1-B1C0-0020182C2F2F", kColourCat, -1, nullptr, nullptr, kRgbIn, kColour,
     kInfo<1>},
    {"_RGBSplitt", "RGB Splitten", "1F713D59-5FFB-11d1-B1C0-0020182C2F2F", kColourCat, -1, nullptr, nullptr, kImage,
     kRgbOut, kInfo<2>},
    {"_MittelWert", "Mittelwert", "1F713D60-5FFB-11d1-B1C0-0020182C2F2F", kFeatureCat, -1, &kDlgMittelwert,
     kMittelwertParams, kImage, kFeatures, kInfo<3>},
    {"_BinAdaptThreshImage", "BinAdapt", "A9414C60-B44F-11d1-B2D1-F8B99FED8635", kSegmentCat, -1, &kDlgBinAdapt,
     kBinAdaptParams, kImage, kImage, kInfo<4>},
    {"_BinImage", "Binarisation", "A9414C61-B44F-11d1-B2D1-F8B99FED8635", kSegmentCat, -1, &kDlgBin, kBinParams, kImage,
     kImage, kInfo<5>},
    {"_AbsDiffImage", "AbsDiff", "A9414C62-B44F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, nullptr, nullptr, kImage2,
     kImage, kInfo<6>},
    {"_AddImage", "AddImage", "B4D0B000-B46F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, nullptr, nullptr, kImage2, kImage,
     kInfo<7>},
    {"_SubImage", "SubImage", "B4D0B001-B46F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, nullptr, nullptr, kImage2, kImage,
     kInfo<8>},
    {"_MultImage", "MultImage", "B4D0B002-B46F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, nullptr, nullptr, kInt2, kInt,
     kInfo<9>},
    {"_DivImage", "DivImage", "B4D0B003-B46F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, nullptr, nullptr, kImage2, kImage,
     kInfo<10>},
    {"_ScalarAddImage", "Scalar AddImage", "B4D0B004-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, &kDlgScalar,
     kScalarParams, kImageScalar, kImage, kInfo<11>},
    {"_ScalarSubImage", "Scalar SubImage", "B4D0B005-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, &kDlgScalar,
     kScalarParams, kImageScalar, kImage, kInfo<12>},
    {"_ScalarMultImage", "Scalar MultImage", "B4D0B006-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, &kDlgScalar,
     kScalarParams, kImageScalar, kImage, kInfo<13>},
    {"_ScalarDivImage", "Scalar DivImage", "B4D0B007-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, &kDlgScalar,
     kScalarParams, kImageScalar, kImage, kInfo<14>},
    {"_BlendImage", "BlendImage", "B4D0B008-B46F-11d1-B2D1-F8B99FED8635", kDyadicCat, -1, &kDlgBlendImage, kBlendParams,
     kImage2, kImage, kInfo<15>},
    {"_Negate", "Negate", "B4D0B009-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, nullptr, nullptr, kImage, kImage,
     kInfo<16>},
    {"_Pertur", "Perturb", "B4D0B00A-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, &kDlgScalar, kScalarParams, kImage,
     kImage, kInfo<17>},
    {"_ConstImage", "Const Image", "B4D0B00B-B46F-11d1-B2D1-F8B99FED8635", kGeneratorCat, -1, &kDlgConstImage,
     kConstParams, kNoPins, kImage, kInfo<18>},
    {"_ImagePlane", "Lin. Farb Rampe", "B4D0B00C-B46F-11d1-B2D1-F8B99FED8635", kGeneratorCat, -1, &kDlgImagePlane,
     kPlaneParams, kNoPins, kImage, kInfo<19>},
    {"_SquareImage", "SquareImage", "B4D0B00D-B46F-11d1-B2D1-F8B99FED8635", kMonadicCat, -1, nullptr, nullptr, kImage,
     kInt, kInfo<20>},
    {"_AndImage", "AndImage", "B4D0B00E-B46F-11d1-B2D1-F8B99FED8635", kLogicCat, -1, nullptr, nullptr, kImage2, kImage,
     kInfo<21>},
    {"_OrImage", "OrImage", "B4D0B00F-B46F-11d1-B2D1-F8B99FED8635", kLogicCat, -1, nullptr, nullptr, kImage2, kImage,
     kInfo<22>},
    {"_NotImage", "NotImage", "B4D0B010-B46F-11d1-B2D1-F8B99FED8635", kLogicCat, -1, nullptr, nullptr, kImage, kImage,
     kInfo<23>},
    {"_Norm", "Norm Image", "645B84E2-B4FD-11d1-B2D1-E2894AF27E0F", kMonadicCat, -1, nullptr, nullptr, kImage, kImage,
     kInfo<24>},
    {"_MittelSigma", "Mittel Sigma", "50F91BC0-2AD1-11d2-B2D1-D2FBFACF77BB", kTextureCat, -1, nullptr, nullptr, kImage,
     kFeaturesDouble, kInfo<25>},
    {"_TransformImage", "Transform Image", "A4497EE0-0A72-11d4-A188-0020182C2F2F", kImageCat, -1, &kDlgTransform,
     kTransformParams, kImage, kImage, kInfo<26>},
};

constexpr LibraryDescriptor kLibrary = {4, "", 1, kInfo<0>};

// The list lives in writable memory and is filled on the first call, guarded by a flag byte.
const ProcessorDescriptor* gSlots[kProcessorCount + 1];
ProcessorList gList = {gSlots, 0};
unsigned char gFlags = 0;

// Constructed once on the first call; it holds nothing, its destructor runs when the library unloads.
struct CatalogueGuard {};
CatalogueGuard* gGuard = nullptr;
void destroyGuard() { delete gGuard; }

// Each record has an accessor of its own.
template <std::size_t I>
const ProcessorDescriptor* recordAccessor() {
  return &kRecords[I];
}

template <std::size_t... I>
void fillSlots(std::index_sequence<I...>) {
  ((gSlots[I] = recordAccessor<I>()), ...);
  gSlots[kProcessorCount] = nullptr;
}

}  // namespace

const ProcessorDescriptor& catalogueRecord(std::size_t i) { return kRecords[i]; }

const ProcessorDescriptor* findRecord(const char* entry) {
  for (const ProcessorDescriptor& r : kRecords) {
    if (std::strcmp(r.entry, entry) == 0) return &r;
  }
  return nullptr;
}

}  // namespace rk

const LibraryDescriptor* kxGetInfos_Dll() { return &rk::kLibrary; }

const ProcessorList* kxGetInfos_Procs() {
  using namespace rk;
  if (!(gFlags & 1)) {
    gFlags |= 1;
    gGuard = new CatalogueGuard;
    std::atexit(destroyGuard);
  }
  if (gFlags & 2) return &gList;
  gFlags |= 2;
  fillSlots(std::make_index_sequence<kProcessorCount>{});
  return &gList;
}
