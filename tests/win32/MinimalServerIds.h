#pragma once

#include <windows.h>

// The tests' minimal automation server: its class, for a client's CreateObject by ProgID.
// {EFA3EFA8-FAA4-4B73-AC1C-C9A11E4AE6B4}
constexpr CLSID CLSID_TovrinTestsMinimal = {
    0xefa3efa8, 0xfaa4, 0x4b73, {0xac, 0x1c, 0xc9, 0xa1, 0x1e, 0x4a, 0xe6, 0xb4}};
constexpr char kMinimalProgId[] = "TovrinTests.Minimal";
constexpr char kMinimalClsidText[] = "{EFA3EFA8-FAA4-4B73-AC1C-C9A11E4AE6B4}";
