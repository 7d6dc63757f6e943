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

// A classic dialog template, written field by field in the platform's layout.
struct Template {
    std::string bytes;
    Template& Word(WORD value) {
        bytes.append(reinterpret_cast<const char*>(&value), 2);
        return *this;
    }
    Template& DWord(DWORD value) { return Word(LOWORD(value)).Word(HIWORD(value)); }
    Template& Text(const wchar_t* text) {  // with its terminating zero
        do Word(*text);
        while (*text++);
        return *this;
    }
    Template& Rect(short x, short y, short cx, short cy) { return Word(x).Word(y).Word(cx).Word(cy); }
    Template& Align() {
        bytes.resize((bytes.size() + 3) & ~size_t{3});
        return *this;
    }
};

TEST_F(ResourcesTest, DialogTemplateIsExactlyTheProgressDialog) {
    // Style, extended style, 4 controls, rectangle, no menu, class or caption (the caption is set
    // at run time), 8-point font.
    Template t;
    t.DWord(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK |
            DS_CENTER);
    t.DWord(0).Word(4).Rect(0, 0, 208, 54).Text(L"").Text(L"").Text(L"").Word(8).Text(L"MS Shell Dlg");
    // Each control: style, extended style, rectangle, id, class (0xFFFF and an ordinal for the
    // predefined ones), text, no creation data.
    t.Align().DWord(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON | BS_CENTER).DWord(0).Rect(150, 33, 50, 14);
    t.Word(IDCANCEL).Word(0xFFFF).Word(0x80).Text(L"Cancel").Word(0);
    t.Align().DWord(WS_CHILD | WS_VISIBLE | WS_BORDER).DWord(0).Rect(8, 20, 193, 8);
    t.Word(101).Text(L"msctls_progress32").Text(L"").Word(0);
    t.Align().DWord(WS_CHILD | WS_VISIBLE | SS_LEFT).DWord(0).Rect(8, 7, 192, 8);
    t.Word(102).Word(0xFFFF).Word(0x82).Text(L"").Word(0);
    t.Align().DWord(WS_CHILD | WS_VISIBLE | SS_LEFT).DWord(0).Rect(8, 36, 136, 8);
    t.Word(103).Word(0xFFFF).Word(0x82).Text(L"").Word(0);
    EXPECT_EQ(Bytes(RT_DIALOG, 1), t.bytes);
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
