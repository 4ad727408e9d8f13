// The resource script reader: the library's own script, statement semantics, and malformed scripts
// rejected with the line named (by the reader and by the build step that embeds the script).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "kxui/Resources.h"
#include "support/Harness.h"

namespace {

using kxui::ControlKind;
namespace st = kxui::style;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LibraryScript, TemplatesLanguagesVersionAndLatin1Texts) {
  const kxui::Resources r = kxui::parseResourceScript(readFile(RK_SOURCE_DIR "/dialogs/RasterKit.rc"), "RasterKit.rc");
  EXPECT_EQ(r.dialogs.size(), 10u);
  const uint32_t frame = st::kModalFrame | st::kCaption | st::kSysMenu | st::kPopup;
  for (int id : {129, 130, 131, 132, 133, 135, 137, 139}) {
    const kxui::DialogTemplate* d = r.findDialog(id);
    ASSERT_NE(d, nullptr) << id;
    EXPECT_EQ(d->fontFace, "MS Sans Serif");
    EXPECT_EQ(d->fontSize, 8);
    EXPECT_EQ(d->style & frame, frame);
    ASSERT_TRUE(d->find(1) && d->find(2));
    EXPECT_EQ(d->find(1)->kind, ControlKind::DefPushButton);
    EXPECT_EQ(d->find(2)->kind, ControlKind::PushButton);
  }
  for (int id : {129, 130}) {
    const kxui::DialogTemplate *german = r.findDialog(id, 0x0407), *english = r.findDialog(id, 0x0409);
    ASSERT_TRUE(german && english);
    EXPECT_EQ(german->language, 0x0407);
    EXPECT_EQ(english->language, 0x0409);
    EXPECT_TRUE(german->sameContent(*english)) << id;
  }
  const kxui::ControlTemplate* c = r.findDialog(137)->find(1014);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->text,
            "Mittelwert \xfc"
            "ber alle Merkmale, f\xfcr jeden Plan und f\xfcr jedes Objekt");
  EXPECT_FALSE(c->has(st::kTabStop));

  ASSERT_TRUE(r.version.has_value());
  const kxui::VersionInfo& v = *r.version;
  for (const uint16_t* parts : {v.fileVersion, v.productVersion})
    EXPECT_EQ(std::vector<uint16_t>(parts, parts + 4), (std::vector<uint16_t>{2, 6, 974, 75}));
  EXPECT_TRUE(v.fileFlags & 0x20);  // special build
  for (auto [key, value] : {std::pair{"FileDescription", "Korvex - Prozessorbibliothek"},
                            {"ProductName", "Korvex - RasterKit DLL"},
                            {"InternalName", "RasterKit"},
                            {"SpecialBuild", "Finalrelease"}}) {
    ASSERT_TRUE(v.value(key)) << key;
    EXPECT_EQ(*v.value(key), value);
  }
}

// ---- statement semantics -----------------------------------------------------------------------

const char* kHeader = "#include \"winres.h\"\n";

kxui::Resources parse(const std::string& body) { return kxui::parseResourceScript(kHeader + body, "test.rc"); }

TEST(ResourceScript, StatementsAddTheirImpliedStylesAndNotRemovesThem) {
  kxui::Resources r = parse(R"(#define IDD_TEST 200
#define IDC_EDIT (1000 + 5)
IDD_TEST DIALOG DISCARDABLE 0, 0, 100, 50
STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION
CAPTION "A ""quoted"" \374ber\x41"
FONT 8, "MS Sans Serif"
BEGIN
  LTEXT "Label // not a comment",IDC_STATIC,1,2,3,4
  EDITTEXT IDC_EDIT,5,6,7,8,ES_AUTOHSCROLL | NOT WS_TABSTOP
  /* a comment
     over two lines */
  DEFPUSHBUTTON "OK",IDOK,9,10,11,12,WS_DISABLED
  GROUPBOX "G",-1,0,0,100,50
  CONTROL "",7,"msctls_updown32",UDS_ARROWKEYS,1,1,0x10,0x0CL
END
)");
  ASSERT_EQ(r.dialogs.size(), 1u);
  const kxui::DialogTemplate& d = r.dialogs[0];
  EXPECT_EQ(d.id, 200);
  EXPECT_EQ(d.language, 0x0409);  // without LANGUAGE: US English, as the compiler assumes
  EXPECT_EQ(d.caption,
            "A \"quoted\" \xfc"
            "berA");
  EXPECT_EQ(d.style, st::kModalFrame | st::kPopup | st::kCaption | st::kSetFont);
  ASSERT_EQ(d.controls.size(), 5u);
  const uint32_t cv = st::kChild | st::kVisible;
  EXPECT_EQ(d.controls[0].text, "Label // not a comment");
  EXPECT_EQ(d.controls[0].id, -1);
  EXPECT_EQ(d.controls[0].style, cv | st::kGroup);
  EXPECT_EQ(d.controls[1].id, 1005);
  EXPECT_EQ(d.controls[1].style, cv | st::kBorder | st::kEditAutoHScroll);
  EXPECT_EQ(d.controls[2].style, cv | st::kTabStop | st::kDefPushButton | st::kDisabled);
  EXPECT_EQ(d.controls[2].line, 13);
  EXPECT_EQ(d.controls[3].kind, ControlKind::GroupBox);
  EXPECT_EQ(d.controls[3].style, cv | st::kGroupBox);
  EXPECT_EQ(d.controls[4].kind, ControlKind::Spin);
  EXPECT_EQ(d.controls[4].style, cv | st::kUpDownArrowKeys);
  EXPECT_EQ(d.controls[4].rect, (kxui::Rect{1, 1, 16, 12}));
}

TEST(ResourceScript, ConditionalsLanguagesAndDialogEx) {
  kxui::Resources r = parse(R"(#ifdef APSTUDIO_INVOKED
this is not read
#else
LANGUAGE LANG_GERMAN, SUBLANG_GERMAN
#endif
#ifndef _WIN32
neither is this
#endif
300 DIALOGEX 0, 0, 10, 10
FONT 8, "MS Shell Dlg", 400, 0, 0x1
{
  AUTORADIOBUTTON "R",5,0,0,5,5
}
)");
  ASSERT_EQ(r.dialogs.size(), 1u);
  EXPECT_EQ(r.dialogs[0].language, 0x0407);
  EXPECT_EQ(r.dialogs[0].fontFace, "MS Shell Dlg");
  EXPECT_EQ(r.dialogs[0].controls[0].kind, ControlKind::RadioButton);
  EXPECT_TRUE(r.dialogs[0].controls[0].has(st::kTabStop));
}

// ---- malformed scripts -------------------------------------------------------------------------

struct Malformed {
  const char* name;
  std::string script;  // after the #include line, unless "bare"
  int line;            // counting the #include line as 1
  const char* says;
  bool bare = false;  // without the system header
};

const std::string kDialogHead = "100 DIALOG 0, 0, 50, 50\nBEGIN\n";

void PrintTo(const Malformed& m, std::ostream* o) { *o << m.name; }

class MalformedScript : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedScript, IsRejectedNamingTheLine) {
  const Malformed& m = GetParam();
  try {
    kxui::parseResourceScript((m.bare ? "" : kHeader) + m.script, "test.rc");
    ADD_FAILURE() << "accepted";
  } catch (const kxui::ScriptError& e) {
    std::string what = e.what();
    EXPECT_EQ(e.line(), m.line) << what;
    EXPECT_EQ(what.rfind("test.rc:" + std::to_string(m.line) + ": ", 0), 0u) << what;
    EXPECT_NE(what.find(m.says), std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedScript,
    ::testing::Values(
        Malformed{"UnclosedString", kDialogHead + "LTEXT \"abc,-1,0,0,1,1\nEND\n", 4, "string not closed"},
        Malformed{"MissingComma", kDialogHead + "LTEXT \"a\",-1,0,0 1,1\nEND\n", 4, "expected ','"},
        Malformed{"UnknownStatement", kDialogHead + "\nCOMBOBOX 5,0,0,1,1\nEND\n", 5, "COMBOBOX"},
        Malformed{"UndefinedSymbol", kDialogHead + "EDITTEXT 5,0,0,1,1,WS_FOO\nEND\n", 4, "WS_FOO"},
        Malformed{"NotClosed", kDialogHead + "EDITTEXT 5,0,0,1,1\n", 2, "not closed by END"},
        Malformed{"UnknownClass", kDialogHead + "CONTROL \"\",5,\"SysListView32\",0,0,0,1,1\nEND\n", 4,
                  "SysListView32"},
        Malformed{"CheckBox", kDialogHead + "CONTROL \"\",5,\"Button\",BS_AUTOCHECKBOX,0,0,1,1\nEND\n", 4,
                  "not supported"},
        Malformed{"DuplicateId", kDialogHead + "EDITTEXT 5,0,0,1,1\nEDITTEXT 5,0,9,1,1\nEND\n", 5, "appears twice"},
        Malformed{"DuplicateDialog", kDialogHead + "END\n" + kDialogHead + "END\n", 5, "defined twice"},
        Malformed{"IfDirective", "\n#if 1\n#endif\n", 3, "#if is not supported"},
        Malformed{"UnclosedComment", "\n/* never closed\n", 3, "comment not closed"},
        Malformed{"ForeignInclude", "#include \"resource.h\"\n", 2, "resource.h"},
        Malformed{"CoordinateTooLarge", kDialogHead + "EDITTEXT 5,70000,0,1,1\nEND\n", 4, "16 bits"},
        Malformed{"CodePage", "#pragma code_page(65001)\n", 2, "65001"},
        Malformed{"UnclosedIfdef", "#ifdef X\n\n", 2, "#endif"},
        Malformed{"BadEscape", kDialogHead + "LTEXT \"a\\q\",-1,0,0,1,1\nEND\n", 4, "unknown escape"},
        Malformed{"StringTable", "STRINGTABLE\nBEGIN\nEND\n", 2, "STRINGTABLE"},
        Malformed{"UnnamedDialog", "IDD_X DIALOG 0, 0, 1, 1\n", 2, "IDD_X"},
        Malformed{"WithoutSystemHeader", "1 DIALOG 0, 0, 1, 1\nSTYLE WS_POPUP\nBEGIN\nEND\n", 2,
                  "does not include winres.h", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResourceScript, BuildStepRejectsAMalformedScriptNamingTheLine) {
  const std::string rc = ::testing::TempDir() + "rk_bad.rc", out = rc + ".cpp", err = rc + ".err";
  std::ofstream(rc) << kHeader << kDialogHead << "EDITTEXT 5,0,0,1\nEND\n";
  EXPECT_NE(std::system((std::string(RK_KXRC) + " " + rc + " " + out + " rk kScript 2> " + err).c_str()), 0);
  EXPECT_EQ(readFile(err).rfind(rc + ":4: ", 0), 0u) << readFile(err);
  for (const std::string& f : {rc, out, err}) std::remove(f.c_str());
}

}  // namespace
