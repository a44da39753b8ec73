#pragma once

#include <string>

// Path pieces as the C runtime's _splitpath and _makepath give them: both '\' and '/'
// separate directories, a drive is a letter and a colon.
struct PathParts {
    std::string drive; // "C:" or empty
    std::string dir;   // "\Cfg\" with its final separator, or empty
    std::string fname; // "x"
    std::string ext;   // ".cfg" with its point, or empty
};

PathParts SplitPath(const std::string& path);
std::string MakePath(const std::string& drive, const std::string& dir, const std::string& fname,
                     const std::string& ext);

// The folder of a file: its path up to, not including, the last backslash; empty without one.
std::string FolderOf(const std::string& path);
