#pragma once

#include <windows.h>

#include <string>

// The folder that holds the test program, Tovrin.exe and Tovrin1.DLL.
std::string BinFolder();

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

// A registry key removed (with everything below it) when the test ends.
class ScopedRegistryTree {
public:
    ScopedRegistryTree(HKEY root, std::string path) : root(root), path(std::move(path)) { Remove(); }
    ~ScopedRegistryTree() { Remove(); }
    ScopedRegistryTree(const ScopedRegistryTree&) = delete;
    ScopedRegistryTree& operator=(const ScopedRegistryTree&) = delete;
    void Remove() const {
        ::RegDeleteTreeA(root, path.c_str());
        ::RegDeleteKeyA(root, path.c_str());
    }

private:
    HKEY root;
    std::string path;
};
