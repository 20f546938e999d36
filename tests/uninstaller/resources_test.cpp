// The program's resources as the resource loader sees them: both string tables with their exact
// texts, the main dialog in both languages, the four icon groups and the manifest.
#include "uninstaller_fixture.h"

#include <fstream>
#include <sstream>

namespace uninstaller_test {
namespace {

constexpr LANGID kEnglish = 1033;
constexpr LANGID kJapanese = 1041;

std::u16string LoadText(UINT id)
{
    WCHAR buffer[512];
    int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 512);
    return std::u16string(buffer, length > 0 ? length : 0);
}

struct StringCase {
    LANGID Language;
    UINT Id;
    const char16_t* Text;
};

const StringCase kStrings[] = {
    { kEnglish, IDS_PROMPT,
      u"If you uninstall the driver, please click on [OK].\n\n If you don't  uninstall the driver, please click on [CANCEL]." },
    { kEnglish, IDS_ERROR, u"The error occurred." },
    { kEnglish, IDS_TITLE, u"Magnetic Card Reader Writer USB  Driver Uninstaller" },
    { kEnglish, IDS_WARNING, u"Warning" },
    { kEnglish, IDS_WRONG_VERSION, u"Different Windows Version" },
    { kEnglish, IDS_UNPLUG,
      u"I pull a USB cable of the machinery, \n and please make connection with the PC an offline state." },
    { kEnglish, IDS_REMOVED, u"Removed" },
    { kEnglish, IDS_REMOVED_ON_REBOOT, u"Removed on reboot" },
    { kEnglish, IDS_REMOVE_FAILED, u"Remove failed" },
    { kJapanese, IDS_PROMPT,
      u"ドライバーをアンインストールする場合は\n                   [ OK ] をクリックしてください。\n\n"
      u"アンインストール行わない場合は \n             [ ｷｬﾝｾﾙ ] をクリックしてください。" },
    { kJapanese, IDS_ERROR, u"エラーが発生しました。" },
    { kJapanese, IDS_TITLE, u"アンインストール" },
    { kJapanese, IDS_WARNING, u"警告" },
    { kJapanese, IDS_WRONG_VERSION, u"Windowsのバージョンが違います。" },
    { kJapanese, IDS_UNPLUG, u"機器のＵＳＢケーブルを抜いてＰＣとの接続を\nオフライン状態にしてください。" },
    { kJapanese, IDS_REMOVED, u"Removed" },
    { kJapanese, IDS_REMOVED_ON_REBOOT, u"Removed on reboot" },
    { kJapanese, IDS_REMOVE_FAILED, u"Remove failed" },
};

using ResourcesTest = UninstallerTest;

TEST_F(ResourcesTest, StringTablesHoldTheExactTextsInBothLanguages)
{
    for (const StringCase& c : kStrings) {
        sim::user::SetUserInterfaceLanguage(c.Language);
        EXPECT_EQ(LoadText(c.Id), c.Text) << "string " << c.Id << " in language " << c.Language;
    }
}

TEST_F(ResourcesTest, TablesHoldNoOtherStringsAndOtherLanguagesGetEnglish)
{
    const auto& strings = sim::user::LoadedResources().Strings;
    ASSERT_EQ(strings.size(), 2u);
    for (LANGID language : { kEnglish, kJapanese }) {
        ASSERT_EQ(strings.count(language), 1u);
        EXPECT_EQ(strings.at(language).size(), 9u);
    }
    sim::user::SetUserInterfaceLanguage(0x0407);   // German: no table of its own
    EXPECT_EQ(LoadText(IDS_ERROR), u"The error occurred.");
}

TEST_F(ResourcesTest, MainDialogIsAHiddenCentredModalPopUpInBothLanguages)
{
    struct DialogCase {
        LANGID Language;
        const char16_t* Caption;
        const char16_t* Font;
        int FontSize;
        const char16_t* Cancel;
        const char16_t* Radio;
    };
    const DialogCase cases[] = {
        { kEnglish, u"Magnetic Card Reader Writer USB  Driver Uninstaller", u"MS Sans Serif", 8, u"Cancel",
          u"Magnetic Card Reader Writer USB" },
        { kJapanese, u"磁気カードリーダーライター USB ドライバ アンインストラー", u"ＭＳ Ｐゴシック", 9, u"ｷｬﾝｾﾙ",
          u"磁気カードリーダーライター USB" },
    };
    const auto& dialogs = sim::user::LoadedResources().Dialogs;
    ASSERT_EQ(dialogs.size(), 2u);
    for (const DialogCase& c : cases) {
        const sim::user::DialogTemplate* dialog = nullptr;
        for (const auto& d : dialogs)
            dialog = (d.Id == IDD_MAIN && d.Language == c.Language) ? &d : dialog;
        ASSERT_NE(dialog, nullptr) << c.Language;
        EXPECT_EQ(dialog->Caption, c.Caption);
        EXPECT_EQ(dialog->FontName, c.Font);
        EXPECT_EQ(dialog->FontSize, c.FontSize);
        for (const char* style : { "WS_POPUP", "WS_CAPTION", "DS_MODALFRAME", "DS_CENTER" })
            EXPECT_NE(std::find(dialog->Styles.begin(), dialog->Styles.end(), style), dialog->Styles.end()) << style;
        EXPECT_EQ(std::find(dialog->Styles.begin(), dialog->Styles.end(), "WS_VISIBLE"), dialog->Styles.end());

        ASSERT_EQ(dialog->Controls.size(), 6u);
        const auto& controls = dialog->Controls;
        EXPECT_EQ(controls[0].Kind, "DEFPUSHBUTTON");
        EXPECT_EQ(controls[0].Id, IDOK);
        EXPECT_EQ(controls[0].Text, u"OK");
        EXPECT_EQ(controls[1].Kind, "PUSHBUTTON");
        EXPECT_EQ(controls[1].Id, IDCANCEL);
        EXPECT_EQ(controls[1].Text, c.Cancel);
        EXPECT_EQ(controls[2].Kind, "GROUPBOX");
        EXPECT_EQ(controls[2].Id, -1);
        EXPECT_EQ(controls[2].Text, u"");
        EXPECT_EQ(controls[3].Id, IDC_DEVICE_RADIO);
        EXPECT_EQ(controls[3].ClassName, "Button");
        EXPECT_NE(std::find(controls[3].Styles.begin(), controls[3].Styles.end(), "BS_AUTORADIOBUTTON"),
                  controls[3].Styles.end());
        EXPECT_EQ(controls[3].Text, c.Radio);
        EXPECT_EQ(controls[4].Id, IDC_PROMPT);
        EXPECT_EQ(controls[4].Text, u"caption");
        EXPECT_EQ(controls[5].Kind, "ICON");
        EXPECT_EQ(controls[5].Id, 125);
        EXPECT_EQ(controls[5].Text, u"IDI_DIALOG");
    }
    EXPECT_EQ(IDI_DIALOG, 124);
}

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

unsigned Word(const std::string& bytes, size_t at)
{
    return static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
}

unsigned Dword(const std::string& bytes, size_t at)
{
    return Word(bytes, at) | (Word(bytes, at + 2) << 16);
}

// Each icon file is a valid icon directory whose images lie inside the file and are DIBs of
// the size the directory gives.
TEST_F(ResourcesTest, FourIconGroupsOfValidIconFiles)
{
    const auto& icons = sim::user::LoadedResources().Icons;
    ASSERT_EQ(icons.size(), 4u);
    for (int id : { 103, 117, 124, 125 }) {
        ASSERT_EQ(icons.count(id), 1u) << id;
        std::string bytes = ReadAll(icons.at(id));
        ASSERT_GE(bytes.size(), 6u);
        EXPECT_EQ(Word(bytes, 0), 0u);
        EXPECT_EQ(Word(bytes, 2), 1u) << "type: icon";
        unsigned count = Word(bytes, 4);
        ASSERT_GE(count, 1u);
        for (unsigned i = 0; i < count; i++) {
            size_t entry = 6 + 16 * i;
            ASSERT_LE(entry + 16, bytes.size());
            unsigned width = static_cast<unsigned char>(bytes[entry]);
            unsigned size = Dword(bytes, entry + 8);
            unsigned offset = Dword(bytes, entry + 12);
            ASSERT_LE(size_t(offset) + size, bytes.size()) << id;
            EXPECT_EQ(Dword(bytes, offset), 40u) << "BITMAPINFOHEADER";
            EXPECT_EQ(Dword(bytes, offset + 4), width);
            EXPECT_EQ(Dword(bytes, offset + 8), 2 * width) << "colour and mask rows";
        }
    }
}

TEST_F(ResourcesTest, ManifestRequestsAdministratorAndNothingElse)
{
    const auto& manifests = sim::user::LoadedResources().Manifests;
    ASSERT_EQ(manifests.size(), 1u);
    ASSERT_EQ(manifests.count(1), 1u);
    std::string manifest = ReadAll(manifests.at(1));
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
              std::string::npos);
    for (const char* absent : { "compatibility", "supportedOS", "dependency", "assemblyIdentity", "dpiAware" })
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
}

} // namespace
} // namespace uninstaller_test
