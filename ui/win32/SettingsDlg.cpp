#include "ui/win32/SettingsDlg.h"

#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"
#include "ui/InterfaceSettings.h"

#include <cstring>

namespace {

constexpr UINT IDD_SETTINGS = 130;
constexpr int IDC_PORT = 1010;
constexpr int IDC_BAUDRATE = 1011;

constexpr DWORD kDosDeviceBuffer = 4096;
constexpr DWORD kDosDeviceGrowth = 1024;
// A system that keeps asking for more is not followed past this.
constexpr DWORD kDosDeviceBufferLimit = 1024 * 1024;
constexpr DWORD kSerialMapText = 64;
static_assert(sizeof(OSVERSIONINFOA) == 148, "the version query's record");

} // namespace

const char* const Win32PortNameSource::kSerialMapKey = "hardware\\devicemap\\serialcomm";

bool Win32PortNameSource::PlatformId(DWORD& platformId) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!::GetVersionExA(&version)) {
        return false;
    }
    platformId = version.dwPlatformId;
    return true;
}

std::vector<std::string> Win32PortNameSource::DosDevicePorts() {
    return DosDevicePortsFrom(kDosDeviceBuffer);
}

std::vector<std::string> Win32PortNameSource::DosDevicePortsFrom(DWORD size) {
    for (; size <= kDosDeviceBufferLimit; size += kDosDeviceGrowth) {
        std::vector<char> names(size);
        DWORD length = ::QueryDosDeviceA(nullptr, names.data(), size);
        if (length != 0) {
            return ComPortNames(names.data(), length);
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
    }
    return {};
}

std::vector<std::string> Win32PortNameSource::SerialMapPortsOf(HKEY root, const std::string& path) {
    std::vector<std::string> ports;
    RegKey map;
    if (map.Open(root, path, KEY_READ | KEY_WOW64_32KEY) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char name[kSerialMapText];
        DWORD nameLength = kSerialMapText;
        BYTE data[kSerialMapText];
        DWORD dataSize = kSerialMapText;
        DWORD type = REG_NONE;
        if (::RegEnumValueA(map.Get(), index, name, &nameLength, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ) {
            const char* text = reinterpret_cast<const char*>(data);
            ports.emplace_back(text, ::strnlen(text, dataSize));
        }
    }
    return ports;
}

CSettingsDlg::CSettingsDlg(HWND parent) : CDialog(IDD_SETTINGS, parent), ports(systemPorts) {}

CSettingsDlg::CSettingsDlg(HWND parent, IPortNameSource& ports)
    : CDialog(IDD_SETTINGS, parent), ports(ports) {}

void CSettingsDlg::DoDataExchange(bool /*save*/) {
    DDX_Control(IDC_PORT, portComboBox);
    DDX_Control(IDC_BAUDRATE, baudComboBox);
}

BOOL CSettingsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    FillPorts();
    FillBaudRates();
    return TRUE;
}

// The platform family decides the source; without a version, no source at all.
std::vector<std::string> CSettingsDlg::SystemPorts() {
    DWORD platformId = 0;
    if (!ports.PlatformId(platformId)) {
        AfxMessageBox(std::string("Failed to retrieve versioninfo"), MB_OK);
        return {};
    }
    return platformId == VER_PLATFORM_WIN32_NT ? ports.DosDevicePorts() : ports.SerialMapPorts();
}

// The current port is always offered, even when the system does not list it.
void CSettingsDlg::FillPorts() {
    const PortListPlan plan = PlanPortList(SystemPorts(), portName);
    for (const std::string& name : plan.items) {
        portComboBox.AddString(name);
    }
    if (plan.editText) {
        portComboBox.SetWindowText(*plan.editText);
    }
}

void CSettingsDlg::FillBaudRates() {
    const ResourceCatalogue catalogue;
    for (const BaudChoice& choice : kBaudChoices) {
        baudComboBox.AddString(catalogue.LoadText(choice.textId));
    }
    // The list is not sorted: its items stand in the table's order.
    int remembered = BaudChoiceIndex(baudRate);
    if (remembered >= 0 && baudComboBox.GetWindowText().empty()) {
        baudComboBox.SetCurSel(remembered);
    }
}

// The port is taken as the user left it, without any check; a rate only when one is chosen.
void CSettingsDlg::OnOK() {
    portName = portComboBox.GetWindowText();
    baudRate = BaudRateForText(baudComboBox.GetWindowText(), ResourceCatalogue(), baudRate);
    CDialog::OnOK();
}
