#pragma once

#include <windows.h>

// The automation class "Qarl.Application": its class and the identifier of its (empty)
// dispatch interface. Generated once; they never change, since clients and the registry of
// every machine that ever ran the program hold them.
// {1DBE737E-886F-42A7-99E2-B6046848F752}
constexpr CLSID CLSID_QarlApplication = {
    0x1dbe737e, 0x886f, 0x42a7, {0x99, 0xe2, 0xb6, 0x04, 0x68, 0x48, 0xf7, 0x52}};
// {8C5DDC38-5CCB-4146-B714-5A043C8F23B5}
constexpr IID IID_IQarlApplication = {
    0x8c5ddc38, 0x5ccb, 0x4146, {0xb7, 0x14, 0x5a, 0x04, 0x3c, 0x8f, 0x23, 0xb5}};
constexpr char kQarlProgId[] = "Qarl.Application";
constexpr char kQarlClsidText[] = "{1DBE737E-886F-42A7-99E2-B6046848F752}";
constexpr char kQarlIidText[] = "{8C5DDC38-5CCB-4146-B714-5A043C8F23B5}";
