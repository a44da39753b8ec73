#include "app/win32/RegistrySettings.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

namespace {

const char kTestKey[] = "Software\\TovrinTests\\Settings";

class SettingsStore : public testing::Test {
protected:
    ScopedRegistryTree cleanup{HKEY_LOCAL_MACHINE, "Software\\TovrinTests"};
    RegistrySettingsStore store{HKEY_LOCAL_MACHINE, kTestKey};

    static bool KeyExists(const std::string& path) {
        RegKey key;
        return OpenMachineKey(key, path, KEY_READ) == ERROR_SUCCESS;
    }
    static void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
        RegKey key;
        ASSERT_EQ(CreateMachineKey(key, std::string(kTestKey) + "\\Configuration", KEY_WRITE), ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExA(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    static DWORD TypeOf(const char* name, std::string* data = nullptr) {
        RegKey key;
        if (OpenMachineKey(key, std::string(kTestKey) + "\\Configuration", KEY_READ) != ERROR_SUCCESS) {
            return REG_NONE;
        }
        DWORD type = REG_NONE;
        char buffer[1024] = {};
        DWORD size = sizeof buffer;
        if (::RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS) {
            return REG_NONE;
        }
        if (data != nullptr) {
            data->assign(buffer, size);
        }
        return type;
    }
};

TEST_F(SettingsStore, ReadersGiveDefaultsAndCreateNothingOnAnEmptyRegistry) {
    EXPECT_EQ(store.ReadRegString("Configuration", "COMPort", "COM1"), "COM1");
    EXPECT_EQ(store.ReadRegString("Configuration", "COMPort", nullptr), "");
    EXPECT_EQ(store.ReadRegDword("Configuration", "Baudrate", 38400), 38400);
    EXPECT_EQ(store.ReadRegDword("Configuration", "AutoCloseManual", -1), -1);
    EXPECT_FALSE(store.RegSubKeyExists("Debug"));
    EXPECT_FALSE(KeyExists(kTestKey));
    EXPECT_FALSE(KeyExists("Software\\TovrinTests"));
}

TEST_F(SettingsStore, WritersCreateTextsAndNumbers) {
    EXPECT_TRUE(store.WriteRegString("Configuration", "COMPort", "COM7"));
    EXPECT_TRUE(store.WriteRegDword("Configuration", "Baudrate", 115200));
    EXPECT_TRUE(store.WriteRegDword("Configuration", "AutoCloseManual", -1));
    std::string data;
    EXPECT_EQ(TypeOf("COMPort", &data), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, std::string("COM7\0", 5));
    EXPECT_EQ(TypeOf("Baudrate", &data), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data.size(), 4u);
    EXPECT_EQ(store.ReadRegString("Configuration", "COMPort", "COM1"), "COM7");
    EXPECT_EQ(store.ReadRegDword("Configuration", "Baudrate", 38400), 115200);
    EXPECT_EQ(store.ReadRegDword("Configuration", "AutoCloseManual", 0), -1);
    EXPECT_TRUE(store.RegSubKeyExists("Configuration"));
}

TEST_F(SettingsStore, WritersKeepTheTypeOfAnExistingValue) {
    const char text[] = "115200";
    SetRaw("Baudrate", REG_SZ, text, sizeof text);
    DWORD number = 3;
    SetRaw("COMPort", REG_DWORD, &number, sizeof number);
    EXPECT_TRUE(store.WriteRegDword("Configuration", "Baudrate", 9600));
    EXPECT_TRUE(store.WriteRegString("Configuration", "COMPort", "COM2"));
    std::string data;
    EXPECT_EQ(TypeOf("Baudrate", &data), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data.size(), 4u); // four bytes with the text type kept
    EXPECT_EQ(TypeOf("COMPort", &data), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, std::string("COM2\0", 5));
}

TEST_F(SettingsStore, ValuesThatDoNotFitReadAsTheDefault) {
    const char rate[] = "115200"; // seven bytes: more than a number's four
    SetRaw("Baudrate", REG_SZ, rate, sizeof rate);
    EXPECT_EQ(store.ReadRegDword("Configuration", "Baudrate", 38400), 38400);
    std::string longText(300, 'x');
    SetRaw("COMPort", REG_SZ, longText.c_str(), static_cast<DWORD>(longText.size() + 1));
    EXPECT_EQ(store.ReadRegString("Configuration", "COMPort", "COM1"), "COM1");
    // A text of exactly 260 bytes without a closing zero is read safely: whole, or (where the
    // system wants room for the zero) as the default, never with bytes from beyond it.
    std::string full(260, 'y');
    SetRaw("DeviceTraceColor", REG_SZ, full.data(), static_cast<DWORD>(full.size()));
    std::string read = store.ReadRegString("Configuration", "DeviceTraceColor", "0 0 255");
    EXPECT_TRUE(read == full || read == "0 0 255") << read.size();
}

TEST_F(SettingsStore, DebugCountsOnlyAsASubKey) {
    store.CreateSettingsKey();
    RegKey settings;
    ASSERT_EQ(OpenMachineKey(settings, kTestKey, KEY_WRITE), ERROR_SUCCESS);
    DWORD one = 1;
    ::RegSetValueExA(settings.Get(), "Debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    EXPECT_FALSE(store.RegSubKeyExists("Debug"));
    RegKey debug;
    ASSERT_EQ(debug.Create(settings.Get(), "Debug", KEY_WRITE | kProgramView), ERROR_SUCCESS);
    EXPECT_TRUE(store.RegSubKeyExists("Debug"));
}

// Both builds read and write the 32-bit view only: a value written in the 64-bit view is not
// seen, and nothing is written there.
TEST(SettingsStoreView, IsThe32BitViewInEveryBuild) {
    ScopedRegistryTree view32{HKEY_LOCAL_MACHINE, "Software\\TovrinTests", KEY_WOW64_32KEY};
    ScopedRegistryTree view64{HKEY_LOCAL_MACHINE, "Software\\TovrinTests", KEY_WOW64_64KEY};
    auto set = [](REGSAM view, const char* name, DWORD value) {
        RegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, std::string(kTestKey) + "\\Configuration", KEY_WRITE | view),
                  ERROR_SUCCESS);
        ::RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    auto has = [](REGSAM view, const char* name) {
        RegKey key;
        return key.Open(HKEY_LOCAL_MACHINE, std::string(kTestKey) + "\\Configuration", KEY_READ | view) ==
                   ERROR_SUCCESS &&
               ::RegQueryValueExA(key.Get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    set(KEY_WOW64_32KEY, "MaxConnectRetries", 3);
    set(KEY_WOW64_64KEY, "MaxConnectRetries", 7);
    set(KEY_WOW64_64KEY, "Baudrate", 9600);
    RegistrySettingsStore store{HKEY_LOCAL_MACHINE, kTestKey};
    EXPECT_EQ(store.ReadRegDword("Configuration", "MaxConnectRetries", 30), 3);
    EXPECT_EQ(store.ReadRegDword("Configuration", "Baudrate", 38400), 38400) << "the 64-bit view is not read";
    EXPECT_TRUE(store.WriteRegDword("Configuration", "Width", 640));
    EXPECT_TRUE(has(KEY_WOW64_32KEY, "Width"));
    EXPECT_FALSE(has(KEY_WOW64_64KEY, "Width"));
}

} // namespace
