#include "app/CatalogueData.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string LoadFrom(HMODULE module, UINT id) {
    char buffer[4096];
    int length = ::LoadStringA(module, id, buffer, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

struct Deliverable {
    const char* file;
    bool german;
    LANGID language;
};

class Catalogues : public testing::TestWithParam<Deliverable> {};

TEST_P(Catalogues, HoldEveryTextByteForByte) {
    ResourceModule module(BinFolder() + "\\" + GetParam().file);
    ASSERT_NE(module.Get(), nullptr);
    ASSERT_EQ(kCatalogueEntryCount, 105u);
    for (unsigned i = 0; i < kCatalogueEntryCount; ++i) {
        const CatalogueEntry& entry = kCatalogueEntries[i];
        EXPECT_EQ(LoadFrom(module.Get(), entry.id), GetParam().german ? entry.german : entry.english)
            << entry.id;
    }
    EXPECT_EQ(LoadFrom(module.Get(), 135), "");
    EXPECT_EQ(LoadFrom(module.Get(), 99), "");
    EXPECT_EQ(LoadFrom(module.Get(), 206), "");
}

TEST_P(Catalogues, AreWindows1252) {
    // Checked against literal bytes, not against the generated tables.
    ResourceModule module(BinFolder() + "\\" + GetParam().file);
    if (GetParam().german) {
        EXPECT_EQ(LoadFrom(module.Get(), 184), "Unzul\xe4ssige Baudrate: %s");
        EXPECT_EQ(LoadFrom(module.Get(), 149), "*** Bin-Datei ist zu gro\xdf!");
        EXPECT_EQ(LoadFrom(module.Get(), 159), "*** \xdc"
                                               "bertragungsfehler (Framing/Overrun/Parity/Break)");
    } else {
        EXPECT_EQ(LoadFrom(module.Get(), 184), "Invalid baudrate: %s");
        EXPECT_EQ(LoadFrom(module.Get(), 182),
                  "Syntax: TOVRIN cfgfile -Cn -Bm [-X -L logfilename [-A]]\n"
                  "where: n=COM port number, m=baudrate (9600..115200)\n"
                  "-X automatic eXecution (Batchmode)\n-A Append to existing logfile");
    }
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
}

TEST_P(Catalogues, CarryTemplatesMenuAndIconInTheirLanguage) {
    ResourceModule module(BinFolder() + "\\" + GetParam().file);
    HMODULE h = module.Get();
    struct Item {
        LPCSTR type;
        WORD id;
    } items[] = {{RT_DIALOG, 100}, {RT_DIALOG, 102}, {RT_DIALOG, 130}, {RT_MENU, 131}, {RT_GROUP_ICON, 128}};
    for (const Item& item : items) {
        std::vector<WORD> languages;
        ::EnumResourceLanguagesA(h, item.type, MAKEINTRESOURCEA(item.id), CollectLanguage,
                                 reinterpret_cast<LONG_PTR>(&languages));
        ASSERT_EQ(languages.size(), 1u) << item.id;
        EXPECT_EQ(languages[0], GetParam().language) << item.id;
    }
    HMENU menu = ::LoadMenuA(h, MAKEINTRESOURCEA(131));
    ASSERT_NE(menu, nullptr);
    HMENU popup = ::GetSubMenu(menu, 0);
    char text[64] = {};
    ::GetMenuStringA(popup, 32776, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "&Copy");
    ::GetMenuStringA(popup, 32777, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "&Save to file");
    ::DestroyMenu(menu);
    for (int size : {32, 16}) {
        HRSRC group = ::FindResourceA(h, MAKEINTRESOURCEA(128), RT_GROUP_ICON);
        ASSERT_NE(group, nullptr);
        BYTE* directory = static_cast<BYTE*>(::LockResource(::LoadResource(h, group)));
        int id = ::LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        HRSRC image = ::FindResourceA(h, MAKEINTRESOURCEA(id), RT_ICON);
        ASSERT_NE(image, nullptr);
        BITMAPINFOHEADER* header = static_cast<BITMAPINFOHEADER*>(::LockResource(::LoadResource(h, image)));
        EXPECT_EQ(header->biWidth, size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Resources, Catalogues,
    testing::Values(Deliverable{"Tovrin.exe", true, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
                    Deliverable{"Tovrin1.DLL", false, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}));

// Dialog template geometry: size, font and the controls that differ between the languages.
struct TemplateCase {
    const char* file;
    WORD id;
    short cx;
    short cy;
};

const DLGTEMPLATE* FindTemplate(HMODULE module, WORD id) {
    HRSRC resource = ::FindResourceA(module, MAKEINTRESOURCEA(id), RT_DIALOG);
    return resource ? static_cast<const DLGTEMPLATE*>(::LockResource(::LoadResource(module, resource)))
                    : nullptr;
}

TEST(Resources, DialogTemplatesHaveTheirSizes) {
    const TemplateCase cases[] = {{"Tovrin.exe", 100, 217, 95},   {"Tovrin.exe", 102, 318, 217},
                                  {"Tovrin.exe", 130, 186, 46},   {"Tovrin1.DLL", 100, 217, 95},
                                  {"Tovrin1.DLL", 102, 318, 217}, {"Tovrin1.DLL", 130, 186, 46}};
    for (const TemplateCase& c : cases) {
        ResourceModule module(BinFolder() + "\\" + c.file);
        const DLGTEMPLATE* dialog = FindTemplate(module.Get(), c.id);
        ASSERT_NE(dialog, nullptr) << c.file << " " << c.id;
        const WORD* words = reinterpret_cast<const WORD*>(dialog);
        bool extended = words[0] == 1 && words[1] == 0xFFFF;
        EXPECT_EQ(extended, c.id == 102) << c.file << " " << c.id;
        short cx = extended ? static_cast<short>(words[11]) : dialog->cx;
        short cy = extended ? static_cast<short>(words[12]) : dialog->cy;
        EXPECT_EQ(cx, c.cx) << c.file << " " << c.id;
        EXPECT_EQ(cy, c.cy) << c.file << " " << c.id;
    }
}

TEST(Resources, LibraryExportsNothing) {
    ResourceModule module(BinFolder() + "\\Tovrin1.DLL");
    ASSERT_NE(module.Get(), nullptr);
    // Mapped as an image resource: the headers sit at the handle without its low flag bits.
    const BYTE* base =
        reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module.Get()) & ~ULONG_PTR{3});
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].Size, 0u);
    EXPECT_EQ(nt->OptionalHeader.AddressOfEntryPoint, 0u);
}

std::string VersionValue(const std::string& file, const char* key) {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !::GetFileVersionInfoA(file.c_str(), handle, size, block.data())) {
        return "<no version block>";
    }
    void* value = nullptr;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040704b0\\") + key;
    if (!::VerQueryValueA(block.data(), path.c_str(), &value, &length)) {
        return "<missing>";
    }
    return std::string(static_cast<const char*>(value));
}

TEST(Resources, VersionBlocksCarryTheirValues) {
    const std::string exe = BinFolder() + "\\Tovrin.exe";
    const std::string dll = BinFolder() + "\\Tovrin1.DLL";
    for (const std::string& file : {exe, dll}) {
        EXPECT_EQ(VersionValue(file, "FileVersion"), "1, 5, 0, 1");
        EXPECT_EQ(VersionValue(file, "ProductVersion"), "5, 3, 0, 0");
        EXPECT_EQ(VersionValue(file, "ProductName"), "Tovrin Application");
        EXPECT_EQ(VersionValue(file, "CompanyName"), "");
    }
    EXPECT_EQ(VersionValue(exe, "FileDescription"), "Tovrin MFC Application");
    EXPECT_EQ(VersionValue(dll, "FileDescription"), "Tovrin MFC Application, engl. resources");
    EXPECT_EQ(VersionValue(exe, "InternalName"), "Tovrin");
    EXPECT_EQ(VersionValue(dll, "InternalName"), "Tovrin1");
    EXPECT_EQ(VersionValue(exe, "OriginalFilename"), "Tovrin.EXE");
    EXPECT_EQ(VersionValue(dll, "OriginalFilename"), "Tovrin1.DLL");
}

} // namespace
