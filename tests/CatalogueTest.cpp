// The catalogue as the host reads it through the loader, every record against the published
// table, and the records' layout: one machine word per field without gaps, as on the original
// 32-bit platform (which the 32-bit builds check).
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstddef>
#include <regex>
#include <set>
#include <sstream>

#include "kx/kxCatalog.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

constexpr std::size_t W = sizeof(void*);
static_assert(sizeof(LibraryDescriptor) == 4 * W && offsetof(LibraryDescriptor, info) == 3 * W);
static_assert(sizeof(ProcessorDescriptor) == 10 * W && offsetof(ProcessorDescriptor, displayName) == W &&
              offsetof(ProcessorDescriptor, guid) == 2 * W && offsetof(ProcessorDescriptor, category) == 3 * W &&
              offsetof(ProcessorDescriptor, reserved) == 4 * W && offsetof(ProcessorDescriptor, dialog) == 5 * W &&
              offsetof(ProcessorDescriptor, params) == 6 * W && offsetof(ProcessorDescriptor, inputs) == 7 * W &&
              offsetof(ProcessorDescriptor, outputs) == 8 * W && offsetof(ProcessorDescriptor, info) == 9 * W);
static_assert(sizeof(PinDescriptor) == 5 * W && offsetof(PinDescriptor, required) == W &&
              offsetof(PinDescriptor, typeMask) == 2 * W && offsetof(PinDescriptor, defaultType) == 3 * W &&
              offsetof(PinDescriptor, reserved) == 4 * W);
static_assert(sizeof(ParameterDescriptor) == 3 * W && offsetof(ParameterDescriptor, type) == W &&
              offsetof(ParameterDescriptor, defaultText) == 2 * W);
static_assert(sizeof(DialogDescriptor) == 4 * W && offsetof(DialogDescriptor, function) == 2 * W &&
              offsetof(DialogDescriptor, blank) == 3 * W);
static_assert(sizeof(InfoPair) == 2 * W && sizeof(ProcessorList) == 2 * W);
#if defined(_WIN64)
static_assert(sizeof(tagVARIANT) == 24);  // the system's VARIANT grows with its record member
#else
static_assert(sizeof(tagVARIANT) == 16);
#endif
static_assert(offsetof(tagVARIANT, lVal) == 8 && offsetof(tagVARIANT, dblVal) == 8);

// Pins as "name[required,mask,default]" joined by "|"; parameters as "name(type,default)".
struct Row {
  const char *entry, *display, *guid, *category, *inputs, *outputs, *params, *dialog;
};

#define IMG "Bilddaten[1,29,0]"
#define BV "Bildverarbeitung\\"
#define DY BV "Arithmetik\\Dyadische\\"
#define MO BV "Arithmetik\\Monadische\\"
#define GEN BV "Generieren von Bildern\\"
#define COLOUR BV "Farbbildverarbeitung\\"
#define G1(n) "1F713D" n "-5FFB-11d1-B1C0-0020182C2F2F"
#define G2(n) "A9414C6" n "-B44F-11d1-B2D1-F8B99FED8635"
#define G3(n) "B4D0B0" n "-B46F-11d1-B2D1-F8B99FED8635"
#define SCALAR IMG "|Scalar[0,16,4]", IMG, "scalar(4,1)", "DlgScalar"
const Row kTable[] = {
    {"_RGBJoin", "RGB Join", G1("58"), COLOUR, "rot[1,29,0]|gr\xfcn[1,29,0]|blau[1,29,0]", "Farbbild[1,29,0]", "", ""},
    {"_RGBSplitt", "RGB Splitten", G1("59"), COLOUR, IMG, "rot[0,29,0]|gr\xfcn[0,29,0]|blau[0,29,0]", "", ""},
    {"_MittelWert", "Mittelwert", G1("60"), BV "Merkmalbildung\\", IMG, "Merkmale[1,29,0]", "Mittelwerttyp(2,1)",
     "DlgMittelwert"},
    {"_BinAdaptThreshImage", "BinAdapt", G2("0"), BV "Segmentierung\\", IMG, IMG,
     "above(4,255)|below(4,0)|consta(4,10)|offset(4,0,1)|TA(2,0)", "DlgBinAdapt"},
    {"_BinImage", "Binarisation", G2("1"), BV "Segmentierung\\", IMG, IMG, "above(4,255)|below(4,0)|threshold(4,128)",
     "DlgBin"},
    {"_AbsDiffImage", "AbsDiff", G2("2"), DY, IMG "|" IMG, IMG, "", ""},
    {"_AddImage", "AddImage", G3("00"), DY, IMG "|" IMG, IMG, "", ""},
    {"_SubImage", "SubImage", G3("01"), DY, IMG "|" IMG, IMG, "", ""},
    {"_MultImage", "MultImage", G3("02"), DY, "Bilddaten[1,29,2]|Bilddaten[1,29,2]", "Bilddaten[1,29,2]", "", ""},
    {"_DivImage", "DivImage", G3("03"), DY, IMG "|" IMG, IMG, "", ""},
    {"_ScalarAddImage", "Scalar AddImage", G3("04"), MO, SCALAR},
    {"_ScalarSubImage", "Scalar SubImage", G3("05"), MO, SCALAR},
    {"_ScalarMultImage", "Scalar MultImage", G3("06"), MO, SCALAR},
    {"_ScalarDivImage", "Scalar DivImage", G3("07"), MO, SCALAR},
    {"_BlendImage", "BlendImage", G3("08"), DY, IMG "|" IMG, IMG, "blendfaktor(4,1)", "DlgBlendImage"},
    {"_Negate", "Negate", G3("09"), MO, IMG, IMG, "", ""},
    {"_Pertur", "Perturb", G3("0A"), MO, IMG, IMG, "scalar(4,1)", "DlgScalar"},
    {"_ConstImage", "Const Image", G3("0B"), GEN, "", IMG, "scalar(4,1)|MCount(2,1)|X(2,100)|Y(2,100)|Plane(2,1)",
     "DlgConstImage"},
    {"_ImagePlane", "Lin. Farb Rampe", G3("0C"), GEN, "", IMG,
     "Slope(4,1)|Offset(4,0)|MCount(2,1)|X(2,255)|Y(2,255)|Planes(2,1)", "DlgImagePlane"},
    {"_SquareImage", "SquareImage", G3("0D"), MO, IMG, "Bilddaten[1,29,2]", "", ""},
    {"_AndImage", "AndImage", G3("0E"), BV "Logische Operatoren\\", IMG "|" IMG, IMG, "", ""},
    {"_OrImage", "OrImage", G3("0F"), BV "Logische Operatoren\\", IMG "|" IMG, IMG, "", ""},
    {"_NotImage", "NotImage", G3("10"), BV "Logische Operatoren\\", IMG, IMG, "", ""},
    {"_Norm", "Norm Image", "645B84E2-B4FD-11d1-B2D1-E2894AF27E0F", MO, IMG, IMG, "", ""},
    {"_MittelSigma", "Mittel Sigma", "50F91BC0-2AD1-11d2-B2D1-D2FBFACF77BB", BV "Texturanalyse\\", IMG,
     "Merkmale[1,29,4]", "", ""},
    {"_TransformImage", "Transform Image", "A4497EE0-0A72-11d4-A188-0020182C2F2F", BV, IMG, IMG,
     "TransType(2,0)|RotDegree(4,0)", "DlgTransform"},
};

// Each pin's default type within its mask and its reserved word -1; the terminator five zero words.
std::string pins(const PinDescriptor* p) {
  std::ostringstream s;
  for (; p->name; ++p) {
    s << (s.tellp() > 0 ? "|" : "") << p->name << '[' << p->required << ',' << p->typeMask << ',' << p->defaultType
      << ']';
    EXPECT_EQ(p->reserved, -1) << p->name;
    EXPECT_NE(p->typeMask & (kxWord(1) << p->defaultType), 0) << "default type outside the mask: " << p->name;
  }
  EXPECT_EQ(p->required | p->typeMask | p->defaultType | p->reserved, 0);
  return s.str();
}

std::string params(const ParameterDescriptor* p) {
  std::ostringstream s;
  for (; p && p->name; ++p)
    s << (s.tellp() > 0 ? "|" : "") << p->name << '(' << p->type << ',' << p->defaultText << ')';
  if (p) {
    EXPECT_TRUE(p->type == 0 && p->defaultText == nullptr);
  }
  return s.str();
}

void expectInfoTable(const InfoPair* t) {
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t[0].key, "Version");
  EXPECT_STREQ(t[0].value, "2.0");
  EXPECT_STREQ(t[1].key, "Author");
  EXPECT_STREQ(t[1].value, "Korvex-Team");
  EXPECT_STREQ(t[2].key, "Compiled");
  EXPECT_TRUE(std::regex_match(t[2].value, std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << t[2].value;
  EXPECT_TRUE(t[3].key == nullptr && t[3].value == nullptr);
}

class CatalogueRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CatalogueRow, MatchesTheTable) {
  const Row& row = kTable[GetParam()];
  const ProcessorDescriptor* r = plugin().records().at(GetParam());
  EXPECT_STREQ(r->entry, row.entry);
  EXPECT_STREQ(r->displayName, row.display);
  EXPECT_STREQ(r->guid, row.guid);
  EXPECT_STREQ(r->category, row.category);
  EXPECT_EQ(r->reserved, -1);
  ASSERT_TRUE(r->inputs && r->outputs);
  EXPECT_EQ(pins(r->inputs), row.inputs);
  EXPECT_EQ(pins(r->outputs), row.outputs);
  EXPECT_EQ(params(r->params), row.params);
  EXPECT_EQ(r->params == nullptr, *row.params == '\0');
  ASSERT_EQ(r->dialog == nullptr, *row.dialog == '\0');
  if (r->dialog) {
    EXPECT_STREQ(r->dialog->kind, "L");
    EXPECT_STREQ(r->dialog->empty, "");
    EXPECT_STREQ(r->dialog->function, row.dialog);
    EXPECT_STREQ(r->dialog->blank, " ");
  }
  expectInfoTable(r->info);
}

INSTANTIATE_TEST_SUITE_P(All, CatalogueRow, ::testing::Range<std::size_t>(0, std::size(kTable)),
                         [](const auto& info) { return std::string(kTable[info.param].entry + 1); });

// The library record, and the list the export returns: the same each call, the loader's 26 records
// and a null after them.
TEST(Catalogue, LibraryRecordAndList) {
  const LibraryDescriptor* lib = loadedPlugin().library();
  EXPECT_EQ(lib->kind, 4);
  EXPECT_STREQ(lib->text, "");
  EXPECT_EQ(lib->count, 1);
  expectInfoTable(lib->info);
#if defined(_WIN32)
  HMODULE handle = GetModuleHandleA(RK_PATH_PREFIX RK_PLUGIN_PATH);
  ASSERT_NE(handle, nullptr);
  FARPROC symbol = GetProcAddress(handle, "kxGetInfos_Procs");
#else
  void* handle = dlopen(RK_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  void* symbol = dlsym(handle, "kxGetInfos_Procs");
  dlclose(handle);  // the loader still holds the library
#endif
  ASSERT_NE(symbol, nullptr);
  kxGetInfosProcsFn getProcs;
  std::memcpy(&getProcs, &symbol, sizeof(symbol));
  const ProcessorList* first = getProcs();
  EXPECT_EQ(first, getProcs());
  EXPECT_EQ(first->zero, 0);
  ASSERT_EQ(loadedPlugin().records().size(), 26u);
  std::set<const InfoPair*> tables = {lib->info};  // every record has an info table of its own
  for (std::size_t i = 0; i < 26; ++i) {
    EXPECT_EQ(first->records[i], loadedPlugin().records()[i]);
    tables.insert(first->records[i]->info);
  }
  EXPECT_EQ(tables.size(), 27u);
  EXPECT_EQ(first->records[26], nullptr);
}

}  // namespace
