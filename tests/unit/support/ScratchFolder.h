#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// A new folder under the system's temporary folder, removed with all it holds when it goes.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path = pattern + "/";
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path.empty()) {
            std::filesystem::remove_all(path, ignored);
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // The folder with its final '/', or empty when it could not be made.
    const std::string& Path() const { return path; }

private:
    std::string path;
};

// The process's current directory while it lives.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::string& folder) : previous(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~ScopedCurrentDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
    }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::filesystem::path previous;
};
