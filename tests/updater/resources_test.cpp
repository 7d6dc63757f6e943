// The resources of the built updater.exe, read back the way the platform's loader reads them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(test::UpdaterExe().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load UPDATER_EXE";
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    // The resource in English (US), after checking that it exists in no other language.
    std::string Bytes(LPCWSTR type, WORD id) const {
        std::vector<WORD> languages;
        EnumResourceLanguagesW(module_, type, MAKEINTRESOURCEW(id), AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(languages, std::vector<WORD>{kEnglishUs}) << "languages of resource " << id;
        HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(id), kEnglishUs);
        const void* data = found ? LockResource(LoadResource(module_, found)) : nullptr;
        return data ? std::string(static_cast<const char*>(data), SizeofResource(module_, found)) : std::string();
    }

    HMODULE module_ = nullptr;
};

// Reads a classic dialog template field by field; reading past the end marks it broken.
class TemplateReader {
public:
    explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}
    WORD Word() {
        WORD value = 0;
        broken_ |= offset_ + 2 > bytes_.size();
        if (!broken_) memcpy(&value, bytes_.data() + offset_, 2);
        offset_ += 2;
        return value;
    }
    DWORD DWord() { return Word() | (static_cast<DWORD>(Word()) << 16); }
    // A name-or-ordinal field: an ordinal reads as "#128", a name (or nothing) as its text.
    std::wstring Field() {
        std::wstring text;
        WORD c = Word();
        if (c == 0xFFFF) return L"#" + std::to_wstring(Word());
        for (; c != 0 && !broken_; c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }
    std::vector<int> Rectangle() {
        std::vector<int> rect;
        for (int i = 0; i < 4; ++i) rect.push_back(static_cast<short>(Word()));
        return rect;
    }
    void AlignToDWord() { offset_ = (offset_ + 3) & ~size_t{3}; }
    bool AtEnd() const { return !broken_ && offset_ == bytes_.size(); }

private:
    const std::string& bytes_;
    size_t offset_ = 0;
    bool broken_ = false;
};

TEST_F(ResourcesTest, DialogTemplateIsExactlyTheProgressDialog) {
    const std::string bytes = Bytes(RT_DIALOG, 1);
    ASSERT_NE(bytes.substr(0, 4), std::string("\x01\x00\xFF\xFF", 4)) << "extended template";
    TemplateReader t(bytes);
    EXPECT_EQ(t.DWord(), DWORD(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
                               DS_FIXEDSYS | DS_3DLOOK | DS_CENTER));
    EXPECT_EQ(t.DWord(), 0u) << "extended style";
    ASSERT_EQ(t.Word(), 4) << "controls";
    EXPECT_EQ(t.Rectangle(), (std::vector<int>{0, 0, 208, 54}));
    EXPECT_EQ(t.Field(), L"") << "menu";
    EXPECT_EQ(t.Field(), L"") << "class";
    EXPECT_EQ(t.Field(), L"") << "caption";
    EXPECT_EQ(t.Word(), 8) << "font size";
    EXPECT_EQ(t.Field(), L"MS Shell Dlg");

    const struct {
        DWORD style;
        std::vector<int> rect;
        WORD id;
        const wchar_t* className;
        const wchar_t* text;
    } controls[] = {
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON | BS_CENTER, {150, 33, 50, 14}, 2, L"#128", L"Cancel"},
        {WS_CHILD | WS_VISIBLE | WS_BORDER, {8, 20, 193, 8}, 101, L"msctls_progress32", L""},
        {WS_CHILD | WS_VISIBLE | SS_LEFT, {8, 7, 192, 8}, 102, L"#130", L""},
        {WS_CHILD | WS_VISIBLE | SS_LEFT, {8, 36, 136, 8}, 103, L"#130", L""},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE("control " + std::to_string(c.id));
        t.AlignToDWord();
        EXPECT_EQ(t.DWord(), c.style);
        EXPECT_EQ(t.DWord(), 0u) << "extended style";
        EXPECT_EQ(t.Rectangle(), c.rect);
        EXPECT_EQ(t.Word(), c.id);
        EXPECT_EQ(t.Field(), c.className);
        EXPECT_EQ(t.Field(), c.text);
        EXPECT_EQ(t.Word(), 0) << "creation data";
    }
    EXPECT_TRUE(t.AtEnd());
}

TEST_F(ResourcesTest, ManifestAsksForCommonControlsSixAsInvokerAndNothingElse) {
    const std::string xml = Bytes(RT_MANIFEST, 1);
    // Element names in document order, then every attribute that must be there.
    std::string tags;
    const std::regex tag("<([A-Za-z]\\w*)");
    for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; it != end; ++it) tags += (*it)[1].str() + " ";
    EXPECT_EQ(tags,
              "assembly assemblyIdentity description dependency dependentAssembly assemblyIdentity "
              "trustInfo security requestedPrivileges requestedExecutionLevel ");
    for (const char* element :
         {"<assemblyIdentity(?=[^>]*name=\"RURU.Ziduv.Avovedov\")(?=[^>]*version=\"1.0.0.0\")"
          "(?=[^>]*processorArchitecture=\"x86\")(?=[^>]*type=\"win32\")",
          "<assemblyIdentity(?=[^>]*type=\"win32\")(?=[^>]*name=\"Microsoft.Windows.Common-Controls\")"
          "(?=[^>]*version=\"6.0.0.0\")(?=[^>]*processorArchitecture=\"X86\")"
          "(?=[^>]*publicKeyToken=\"6595b64144ccf1df\")(?=[^>]*language=\"\\*\")",
          "<requestedExecutionLevel(?=[^>]*level=\"asInvoker\")(?=[^>]*uiAccess=\"false\")",
          "<description>Launcher/Updater</description>"})
        EXPECT_TRUE(std::regex_search(xml, std::regex(element))) << element;

    // The platform's loader accepts it and, through it, loads version 6 of the common controls
    // from the side-by-side store (Wine's copy reports version 5 through DllGetVersion).
    const std::wstring exe = test::UpdaterExe();
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = exe.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE activation = CreateActCtxW(&context);
    ASSERT_NE(activation, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG_PTR cookie = 0;
    ActivateActCtx(activation, &cookie);
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    DeactivateActCtx(0, cookie);
    ReleaseActCtx(activation);
    ASSERT_NE(comctl, nullptr);
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(comctl, path, MAX_PATH);
    FreeLibrary(comctl);
    CharLowerW(path);
    EXPECT_NE(std::wstring(path).find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.0."), std::wstring::npos)
        << "loaded " << std::string(path, path + wcslen(path));
}

TEST_F(ResourcesTest, IconGroupHasFourBitmapsAndA256PixelPng) {
    const std::string group = Bytes(RT_GROUP_ICON, 1);
    ASSERT_EQ(group.size(), 6 + 5 * 14u) << "a header and 5 entries of 14 bytes";
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\5\0", 6)) << "an icon group of 5";
    const int sizes[] = {16, 24, 32, 48, 256};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("image " + std::to_string(sizes[i]));
        // GRPICONDIRENTRY: width, height, colours, reserved, planes, bits per pixel, bytes, id.
        const unsigned char* entry = reinterpret_cast<const unsigned char*>(group.data()) + 6 + i * 14;
        EXPECT_EQ(entry[0] ? entry[0] : 256, sizes[i]) << "width";
        EXPECT_EQ(entry[1] ? entry[1] : 256, sizes[i]) << "height";
        EXPECT_EQ(entry[6] | entry[7] << 8, 32) << "bits per pixel";
        const std::string image = Bytes(RT_ICON, static_cast<WORD>(entry[12] | entry[13] << 8));
        if (sizes[i] == 256) {
            EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        } else {
            BITMAPINFOHEADER bitmap = {};
            memcpy(&bitmap, image.data(), std::min(image.size(), sizeof(bitmap)));
            EXPECT_EQ(bitmap.biSize, sizeof(bitmap));
            EXPECT_EQ(bitmap.biWidth, sizes[i]);
            EXPECT_EQ(bitmap.biBitCount, 32);
            EXPECT_EQ(bitmap.biCompression, static_cast<DWORD>(BI_RGB));
        }
        // The platform can make an icon of every image.
        HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(const_cast<char*>(image.data())),
                                              static_cast<DWORD>(image.size()), TRUE, 0x00030000, sizes[i],
                                              sizes[i], LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr);
        if (icon) DestroyIcon(icon);
    }
}

}  // namespace
