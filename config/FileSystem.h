#pragma once

#include <string>

// The two file tests of the program.
class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // A directory search finds at least one entry: files, directories and wildcard patterns
    // match. False for an empty path.
    virtual bool FileExists(const std::string& path) const = 0;
    // The file opens for reading with read sharing. False for an empty path.
    virtual bool FileReadable(const std::string& path) const = 0;
};

// The native build's file tests over POSIX: backslashes are taken as '/'.
class PosixFileSystem : public IFileSystem {
public:
    bool FileExists(const std::string& path) const override;
    bool FileReadable(const std::string& path) const override;
    static std::string NativePath(const std::string& path);
    // The absolute form of a path (the current folder before a relative one, its leading "./"
    // dropped), without resolving links.
    static std::string AbsolutePath(const std::string& path);
};
