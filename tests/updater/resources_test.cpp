// The resources of the built updater.exe, read back the way the platform's loader reads them.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class ResourcesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExW(test::UpdaterExe().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static void TearDownTestSuite() {
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load UPDATER_EXE"; }

    // The bytes of one resource in English (US), empty when it is missing.
    static std::string Bytes(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceExW(module_, type, name, kEnglishUs);
        if (!found) return {};
        const void* data = LockResource(LoadResource(module_, found));
        return data ? std::string(static_cast<const char*>(data), SizeofResource(module_, found)) : std::string();
    }

    static std::vector<WORD> Languages(LPCWSTR type, LPCWSTR name) {
        std::vector<WORD> languages;
        EnumResourceLanguagesW(module_, type, name, AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
        return languages;
    }
    static BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
        reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
        return TRUE;
    }

    static HMODULE module_;
};

HMODULE ResourcesTest::module_ = nullptr;

// A name-or-ordinal field of a dialog template: 0 (none), 0xFFFF + ordinal, or a terminated name.
struct NameOrOrdinal {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::wstring name;
    bool operator==(const NameOrOrdinal& o) const {
        return isOrdinal == o.isOrdinal && ordinal == o.ordinal && name == o.name;
    }
};
NameOrOrdinal Ordinal(WORD value) { return {true, value, L""}; }
NameOrOrdinal Name(const wchar_t* value) { return {false, 0, value}; }

void PrintTo(const NameOrOrdinal& v, std::ostream* os) {
    if (v.isOrdinal)
        *os << "ordinal 0x" << std::hex << v.ordinal;
    else
        *os << "name \"" << std::string(v.name.begin(), v.name.end()) << "\"";
}

// Reads the classic template field by field; any read past the end marks it broken.
class TemplateReader {
public:
    explicit TemplateReader(std::string bytes) : bytes_(std::move(bytes)) {}

    WORD Word() {
        WORD value = 0;
        if (offset_ + 2 > bytes_.size()) {
            broken_ = true;
        } else {
            memcpy(&value, bytes_.data() + offset_, 2);
        }
        offset_ += 2;
        return value;
    }
    DWORD DWord() {
        const DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }
    short Short() { return static_cast<short>(Word()); }
    std::wstring String() {
        std::wstring text;
        for (WORD c = Word(); c != 0 && !broken_; c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }
    NameOrOrdinal Field() {
        const WORD first = Word();
        if (first == 0xFFFF) return Ordinal(Word());
        offset_ -= 2;
        return Name(String().c_str());
    }
    void AlignToDWord() { offset_ = (offset_ + 3) & ~size_t{3}; }
    bool Broken() const { return broken_; }
    size_t Offset() const { return offset_; }

private:
    std::string bytes_;
    size_t offset_ = 0;
    bool broken_ = false;
};

struct Control {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    NameOrOrdinal className;
    NameOrOrdinal text;
};

TEST_F(ResourcesTest, DialogTemplateIsExactlyTheProgressDialog) {
    EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEW(1)), std::vector<WORD>{kEnglishUs});
    const std::string bytes = Bytes(RT_DIALOG, MAKEINTRESOURCEW(1));
    ASSERT_GE(bytes.size(), 4u);
    ASSERT_NE(bytes.substr(0, 4), std::string("\x01\x00\xFF\xFF", 4)) << "extended template";

    TemplateReader t(bytes);
    EXPECT_EQ(t.DWord(), DWORD(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
                               DS_FIXEDSYS | DS_3DLOOK | DS_CENTER));
    EXPECT_EQ(t.DWord(), 0u);  // extended style
    const WORD count = t.Word();
    EXPECT_EQ(count, 4);
    EXPECT_EQ(t.Short(), 0);
    EXPECT_EQ(t.Short(), 0);
    EXPECT_EQ(t.Short(), 208);
    EXPECT_EQ(t.Short(), 54);
    EXPECT_EQ(t.Field(), Name(L"")) << "menu";
    EXPECT_EQ(t.Field(), Name(L"")) << "window class";
    EXPECT_EQ(t.Field(), Name(L"")) << "caption";
    EXPECT_EQ(t.Word(), 8) << "font size";
    EXPECT_EQ(t.String(), L"MS Shell Dlg");

    const Control expected[] = {
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON | BS_CENTER, 150, 33, 50, 14, IDCANCEL, Ordinal(0x0080),
         Name(L"Cancel")},
        {WS_CHILD | WS_VISIBLE | WS_BORDER, 8, 20, 193, 8, 101, Name(L"msctls_progress32"), Name(L"")},
        {WS_CHILD | WS_VISIBLE | SS_LEFT, 8, 7, 192, 8, 102, Ordinal(0x0082), Name(L"")},
        {WS_CHILD | WS_VISIBLE | SS_LEFT, 8, 36, 136, 8, 103, Ordinal(0x0082), Name(L"")},
    };
    for (size_t i = 0; i < count && i < ARRAYSIZE(expected); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const Control& e = expected[i];
        t.AlignToDWord();
        EXPECT_EQ(t.DWord(), e.style);
        EXPECT_EQ(t.DWord(), 0u) << "extended style";
        EXPECT_EQ(t.Short(), e.x);
        EXPECT_EQ(t.Short(), e.y);
        EXPECT_EQ(t.Short(), e.cx);
        EXPECT_EQ(t.Short(), e.cy);
        EXPECT_EQ(t.Word(), e.id);
        EXPECT_EQ(t.Field(), e.className);
        EXPECT_EQ(t.Field(), e.text);
        EXPECT_EQ(t.Word(), 0) << "creation data";
    }
    EXPECT_FALSE(t.Broken());
    EXPECT_EQ(t.Offset(), bytes.size()) << "bytes after the last control";
}

// Start tags in document order: name and attributes (enough for a flat, known document).
struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    bool operator==(const Element& o) const { return name == o.name && attributes == o.attributes; }
};

void PrintTo(const Element& e, std::ostream* os) {
    *os << "<" << e.name;
    for (const auto& [key, value] : e.attributes) *os << " " << key << "=\"" << value << "\"";
    *os << ">";
}

std::vector<Element> StartTags(const std::string& xml) {
    std::vector<Element> elements;
    const std::regex tag("<([A-Za-z][\\w:.-]*)([^>]*)>");
    const std::regex attribute("([\\w:.-]+)\\s*=\\s*\"([^\"]*)\"");
    for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; it != end; ++it) {
        Element element{(*it)[1], {}};
        const std::string rest = (*it)[2];
        for (std::sregex_iterator a(rest.begin(), rest.end(), attribute); a != end; ++a)
            element.attributes.emplace_back((*a)[1], (*a)[2]);
        elements.push_back(element);
    }
    return elements;
}

TEST_F(ResourcesTest, ManifestAsksForCommonControlsSixAsInvokerAndNothingElse) {
    EXPECT_EQ(Languages(RT_MANIFEST, MAKEINTRESOURCEW(1)), std::vector<WORD>{kEnglishUs});
    const std::string xml = Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(xml.empty());

    const std::vector<Element> expected = {
        {"assembly", {{"xmlns", "urn:schemas-microsoft-com:asm.v1"}, {"manifestVersion", "1.0"}}},
        {"assemblyIdentity",
         {{"name", "RURU.Ziduv.Avovedov"}, {"version", "1.0.0.0"}, {"processorArchitecture", "x86"}, {"type", "win32"}}},
        {"description", {}},
        {"dependency", {}},
        {"dependentAssembly", {}},
        {"assemblyIdentity",
         {{"type", "win32"},
          {"name", "Microsoft.Windows.Common-Controls"},
          {"version", "6.0.0.0"},
          {"processorArchitecture", "X86"},
          {"publicKeyToken", "6595b64144ccf1df"},
          {"language", "*"}}},
        {"trustInfo", {{"xmlns", "urn:schemas-microsoft-com:asm.v3"}}},
        {"security", {}},
        {"requestedPrivileges", {}},
        {"requestedExecutionLevel", {{"level", "asInvoker"}, {"uiAccess", "false"}}},
    };
    EXPECT_EQ(StartTags(xml), expected);
    EXPECT_NE(xml.find("<description>Launcher/Updater</description>"), std::string::npos);

    // The platform's own loader accepts it, and it resolves the common controls it names.
    const std::wstring exe = test::UpdaterExe();
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = exe.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE activation = CreateActCtxW(&context);
    ASSERT_NE(activation, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG_PTR cookie = 0;
    ASSERT_TRUE(ActivateActCtx(activation, &cookie));
    wchar_t path[MAX_PATH] = L"";
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    GetModuleFileNameW(comctl, path, MAX_PATH);
    DeactivateActCtx(0, cookie);
    ReleaseActCtx(activation);
    EXPECT_NE(std::wstring(path).find(L"6.0"), std::wstring::npos) << "loaded " << std::string(path, path + wcslen(path));
    if (comctl) FreeLibrary(comctl);
}

#pragma pack(push, 2)
struct IconDirEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ResourcesTest, IconGroupHasFourBitmapsAndA256PixelPng) {
    EXPECT_EQ(Languages(RT_GROUP_ICON, MAKEINTRESOURCEW(1)), std::vector<WORD>{kEnglishUs});
    const std::string group = Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    WORD header[3];
    memcpy(header, group.data(), sizeof(header));
    EXPECT_EQ(header[1], 1) << "icon, not cursor";
    ASSERT_EQ(header[2], 5);
    ASSERT_EQ(group.size(), 6 + 5 * sizeof(IconDirEntry));

    const int sizes[] = {16, 24, 32, 48, 256};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("image " + std::to_string(sizes[i]));
        IconDirEntry entry;
        memcpy(&entry, group.data() + 6 + i * sizeof(entry), sizeof(entry));
        EXPECT_EQ(entry.width ? entry.width : 256, sizes[i]);
        EXPECT_EQ(entry.height ? entry.height : 256, sizes[i]);
        EXPECT_EQ(entry.bitCount, 32);

        const std::string image = Bytes(RT_ICON, MAKEINTRESOURCEW(entry.id));
        ASSERT_EQ(image.size(), entry.bytes);
        if (sizes[i] == 256) {
            EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        } else {
            ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
            BITMAPINFOHEADER bitmap;
            memcpy(&bitmap, image.data(), sizeof(bitmap));
            EXPECT_EQ(bitmap.biSize, sizeof(BITMAPINFOHEADER));
            EXPECT_EQ(bitmap.biWidth, sizes[i]);
            EXPECT_EQ(bitmap.biHeight, 2 * sizes[i]) << "colour and mask";
            EXPECT_EQ(bitmap.biBitCount, 32);
            EXPECT_EQ(bitmap.biCompression, static_cast<DWORD>(BI_RGB));
        }
        // The platform can make an icon of it.
        HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(const_cast<char*>(image.data())),
                                              static_cast<DWORD>(image.size()), TRUE, 0x00030000, sizes[i],
                                              sizes[i], LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr);
        if (icon) DestroyIcon(icon);
    }
}

}  // namespace
