// The catalogue as the host reads it through the loader: every record against the published table.
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <regex>
#include <sstream>

#include "support/Harness.h"

using namespace rktest;

namespace {

// Pins as "name[required,mask,default]" joined by "|"; parameters as "name(type,default)".
struct Row {
  const char* entry;
  const char* display;
  const char* guid;
  const char* category;
  const char* inputs;
  const char* outputs;
  const char* params;
  const char* dialog;
};

#define IMG "Bilddaten[1,29,0]"
const Row kTable[] = {
    {"_RGBJoin", "RGB Join", "1F713D58-5FFB-11d1-B1C0-0020182C2F2F", "Bildverarbeitung\\Farbbildverarbeitung\\",
     "rot[1,29,0]|gr\xfcn[1,29,0]|blau[1,29,0]", "Farbbild[1,29,0]", "", ""},
    {"_RGBSplitt", "RGB Splitten", "1F713D59-5FFB-11d1-B1C0-0020182C2F2F", "Bildverarbeitung\\Farbbildverarbeitung\\",
     IMG, "rot[0,29,0]|gr\xfcn[0,29,0]|blau[0,29,0]", "", ""},
    {"_MittelWert", "Mittelwert", "1F713D60-5FFB-11d1-B1C0-0020182C2F2F", "Bildverarbeitung\\Merkmalbildung\\", IMG,
     "Merkmale[1,29,0]", "Mittelwerttyp(2,1)", "DlgMittelwert"},
    {"_BinAdaptThreshImage", "BinAdapt", "A9414C60-B44F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Segmentierung\\",
     IMG, IMG, "above(4,255)|below(4,0)|consta(4,10)|offset(4,0,1)|TA(2,0)", "DlgBinAdapt"},
    {"_BinImage", "Binarisation", "A9414C61-B44F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Segmentierung\\", IMG, IMG,
     "above(4,255)|below(4,0)|threshold(4,128)", "DlgBin"},
    {"_AbsDiffImage", "AbsDiff", "A9414C62-B44F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     IMG "|" IMG, IMG, "", ""},
    {"_AddImage", "AddImage", "B4D0B000-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     IMG "|" IMG, IMG, "", ""},
    {"_SubImage", "SubImage", "B4D0B001-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     IMG "|" IMG, IMG, "", ""},
    {"_MultImage", "MultImage", "B4D0B002-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     "Bilddaten[1,29,2]|Bilddaten[1,29,2]", "Bilddaten[1,29,2]", "", ""},
    {"_DivImage", "DivImage", "B4D0B003-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     IMG "|" IMG, IMG, "", ""},
    {"_ScalarAddImage", "Scalar AddImage", "B4D0B004-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG "|Scalar[0,16,4]", IMG, "scalar(4,1)", "DlgScalar"},
    {"_ScalarSubImage", "Scalar SubImage", "B4D0B005-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG "|Scalar[0,16,4]", IMG, "scalar(4,1)", "DlgScalar"},
    {"_ScalarMultImage", "Scalar MultImage", "B4D0B006-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG "|Scalar[0,16,4]", IMG, "scalar(4,1)", "DlgScalar"},
    {"_ScalarDivImage", "Scalar DivImage", "B4D0B007-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG "|Scalar[0,16,4]", IMG, "scalar(4,1)", "DlgScalar"},
    {"_BlendImage", "BlendImage", "B4D0B008-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Dyadische\\",
     IMG "|" IMG, IMG, "blendfaktor(4,1)", "DlgBlendImage"},
    {"_Negate", "Negate", "B4D0B009-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG,
     IMG, "", ""},
    {"_Pertur", "Perturb", "B4D0B00A-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG,
     IMG, "scalar(4,1)", "DlgScalar"},
    {"_ConstImage", "Const Image", "B4D0B00B-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Generieren von Bildern\\",
     "", IMG, "scalar(4,1)|MCount(2,1)|X(2,100)|Y(2,100)|Plane(2,1)", "DlgConstImage"},
    {"_ImagePlane", "Lin. Farb Rampe", "B4D0B00C-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Generieren von Bildern\\", "", IMG,
     "Slope(4,1)|Offset(4,0)|MCount(2,1)|X(2,255)|Y(2,255)|Planes(2,1)", "DlgImagePlane"},
    {"_SquareImage", "SquareImage", "B4D0B00D-B46F-11d1-B2D1-F8B99FED8635",
     "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG, "Bilddaten[1,29,2]", "", ""},
    {"_AndImage", "AndImage", "B4D0B00E-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Logische Operatoren\\",
     IMG "|" IMG, IMG, "", ""},
    {"_OrImage", "OrImage", "B4D0B00F-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Logische Operatoren\\",
     IMG "|" IMG, IMG, "", ""},
    {"_NotImage", "NotImage", "B4D0B010-B46F-11d1-B2D1-F8B99FED8635", "Bildverarbeitung\\Logische Operatoren\\", IMG,
     IMG, "", ""},
    {"_Norm", "Norm Image", "645B84E2-B4FD-11d1-B2D1-E2894AF27E0F", "Bildverarbeitung\\Arithmetik\\Monadische\\", IMG,
     IMG, "", ""},
    {"_MittelSigma", "Mittel Sigma", "50F91BC0-2AD1-11d2-B2D1-D2FBFACF77BB", "Bildverarbeitung\\Texturanalyse\\", IMG,
     "Merkmale[1,29,4]", "", ""},
    {"_TransformImage", "Transform Image", "A4497EE0-0A72-11d4-A188-0020182C2F2F", "Bildverarbeitung\\", IMG, IMG,
     "TransType(2,0)|RotDegree(4,0)", "DlgTransform"},
};
#undef IMG

std::string pins(const PinDescriptor* p) {
  std::ostringstream s;
  for (; p->name; ++p) {
    if (s.tellp() > 0) s << '|';
    s << p->name << '[' << p->required << ',' << p->typeMask << ',' << p->defaultType << ']';
    EXPECT_EQ(p->reserved, -1) << p->name;
    EXPECT_NE(p->typeMask & (kxWord(1) << p->defaultType), 0) << "default type outside the mask: " << p->name;
  }
  // The terminator is five zero words.
  EXPECT_EQ(p->required, 0);
  EXPECT_EQ(p->typeMask, 0);
  EXPECT_EQ(p->defaultType, 0);
  EXPECT_EQ(p->reserved, 0);
  return s.str();
}

std::string params(const ParameterDescriptor* p) {
  if (!p) return "";
  std::ostringstream s;
  for (; p->name; ++p) {
    if (s.tellp() > 0) s << '|';
    s << p->name << '(' << p->type << ',' << p->defaultText << ')';
  }
  EXPECT_EQ(p->type, 0);
  EXPECT_EQ(p->defaultText, nullptr);
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
  EXPECT_EQ(t[3].key, nullptr);
  EXPECT_EQ(t[3].value, nullptr);
}

class CatalogueRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CatalogueRow, MatchesTheTable) {
  const std::size_t i = GetParam();
  const Row& row = kTable[i];
  const ProcessorDescriptor* r = plugin().records().at(i);
  EXPECT_STREQ(r->entry, row.entry);
  EXPECT_STREQ(r->displayName, row.display);
  EXPECT_STREQ(r->guid, row.guid);
  EXPECT_TRUE(std::regex_match(r->guid, std::regex("[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}")));
  EXPECT_STREQ(r->category, row.category);
  EXPECT_EQ(r->reserved, -1);
  ASSERT_NE(r->inputs, nullptr);
  ASSERT_NE(r->outputs, nullptr);
  EXPECT_EQ(pins(r->inputs), row.inputs);
  EXPECT_EQ(pins(r->outputs), row.outputs);
  EXPECT_EQ(params(r->params), row.params);
  if (*row.params == '\0') {
    EXPECT_EQ(r->params, nullptr);
  }
  if (*row.dialog == '\0') {
    EXPECT_EQ(r->dialog, nullptr);
  } else {
    ASSERT_NE(r->dialog, nullptr);
    EXPECT_STREQ(r->dialog->kind, "L");
    EXPECT_STREQ(r->dialog->empty, "");
    EXPECT_STREQ(r->dialog->function, row.dialog);
    EXPECT_STREQ(r->dialog->blank, " ");
  }
  expectInfoTable(r->info);
  EXPECT_NE(r->info, plugin().library()->info) << "each record has an info table of its own";
}

INSTANTIATE_TEST_SUITE_P(All, CatalogueRow, ::testing::Range<std::size_t>(0, 26),
                         [](const auto& info) { return std::string(kTable[info.param].entry + 1); });

TEST(Catalogue, LibraryRecord) {
  const LibraryDescriptor* lib = plugin().library();
  EXPECT_EQ(lib->kind, 4);
  EXPECT_STREQ(lib->text, "");
  EXPECT_EQ(lib->count, 1);
  expectInfoTable(lib->info);
}

TEST(Catalogue, ListIsFilledOnceAndNullTerminated) {
  plugin();  // loaded, so the module below is the loader's own library
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
  const ProcessorList* second = getProcs();
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->zero, 0);
  for (std::size_t i = 0; i < 26; ++i) EXPECT_EQ(first->records[i], plugin().records()[i]);
  EXPECT_EQ(first->records[26], nullptr);
}

TEST(Catalogue, RecordsAreDistinctAndTwentySix) {
  const auto& records = plugin().records();
  ASSERT_EQ(records.size(), 26u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    for (std::size_t j = i + 1; j < records.size(); ++j) EXPECT_NE(records[i], records[j]);
  }
}

}  // namespace
