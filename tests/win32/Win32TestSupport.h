#pragma once

#include "app/win32/RegistrySettings.h"

#include <windows.h>

#include <string>

// The folder that holds the test program, Tovrin.exe and Tovrin1.DLL.
std::string BinFolder();

// A text of the program's built-in (German) catalogue.
std::string German(unsigned id);

// A module mapped as resources only, released when it goes.
class ResourceModule {
public:
    explicit ResourceModule(const std::string& path)
        : module(::LoadLibraryExA(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE)) {}
    ~ResourceModule() {
        if (module != nullptr) {
            ::FreeLibrary(module);
        }
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    HMODULE Get() const { return module; }

private:
    HMODULE module;
};

// A registry key removed (with everything below it) when the test ends, in one registry view:
// the program's unless told otherwise.
class ScopedRegistryTree {
public:
    ScopedRegistryTree(HKEY root, std::string path, REGSAM view = kProgramView)
        : root(root), path(std::move(path)), view(view) {
        Remove();
    }
    ~ScopedRegistryTree() { Remove(); }
    ScopedRegistryTree(const ScopedRegistryTree&) = delete;
    ScopedRegistryTree& operator=(const ScopedRegistryTree&) = delete;
    void Remove() const {
        RegKey key;
        if (key.Open(root, path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view) ==
            ERROR_SUCCESS) {
            ::RegDeleteTreeA(key.Get(), nullptr);
        }
        key.Close();
        ::RegDeleteKeyExA(root, path.c_str(), view, 0);
    }

private:
    HKEY root;
    std::string path;
    REGSAM view;
};
