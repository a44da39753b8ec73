#pragma once

#include "framework/Framework.h"

#include <string>
#include <vector>

// Where the interface settings dialog learns the serial ports the system knows.
class IPortNameSource {
public:
    virtual ~IPortNameSource() = default;
    // The platform id of GetVersionExA; false when the platform does not tell its version.
    virtual bool PlatformId(DWORD& platformId) = 0;
    // The DOS device names that begin with "COM" (QueryDosDeviceA).
    virtual std::vector<std::string> DosDevicePorts() = 0;
    // The texts of the system's serial port map (HKLM "hardware\devicemap\serialcomm").
    virtual std::vector<std::string> SerialMapPorts() = 0;
};

// The system's own sources.
class Win32PortNameSource : public IPortNameSource {
public:
    static const char* const kSerialMapKey;

    bool PlatformId(DWORD& platformId) override;
    std::vector<std::string> DosDevicePorts() override;
    std::vector<std::string> SerialMapPorts() override {
        return SerialMapPortsOf(HKEY_LOCAL_MACHINE, kSerialMapKey);
    }

    // QueryDosDeviceA from a buffer of `size` bytes, 1024 more after each call that finds it
    // too small.
    static std::vector<std::string> DosDevicePortsFrom(DWORD size);
    // The REG_SZ data of the key's values, enumerated from index 0 with a 64-character name
    // and 64 bytes of data each, up to the first value that cannot be read.
    static std::vector<std::string> SerialMapPortsOf(HKEY root, const std::string& path);
};

// The interface settings dialog (template 130): chooses the port and the baud rate; parity,
// stop bits and data size pass through unchanged.
class CSettingsDlg : public CDialog {
public:
    explicit CSettingsDlg(HWND parent = nullptr);
    // The same with another source of port names.
    CSettingsDlg(HWND parent, IPortNameSource& ports);

    std::string portName;
    int baudRate = 0;
    int parity = 0;
    int stopBits = 0;
    int dataSize = 0;

    CComboBox portComboBox;
    CComboBox baudComboBox;

protected:
    void DoDataExchange(bool save) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    std::vector<std::string> SystemPorts();
    void FillPorts();
    void FillBaudRates();

    Win32PortNameSource systemPorts;
    IPortNameSource& ports;
};
