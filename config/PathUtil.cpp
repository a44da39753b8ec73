#include "config/PathUtil.h"

namespace {
bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}
} // namespace

PathParts SplitPath(const std::string& path) {
    PathParts parts;
    std::string rest = path;
    if (rest.size() >= 2 && rest[1] == ':') {
        parts.drive = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    size_t lastSeparator = std::string::npos;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (IsSeparator(rest[i])) {
            lastSeparator = i;
        }
    }
    if (lastSeparator != std::string::npos) {
        parts.dir = rest.substr(0, lastSeparator + 1);
        rest = rest.substr(lastSeparator + 1);
    }
    size_t dot = rest.rfind('.');
    if (dot != std::string::npos) {
        parts.ext = rest.substr(dot);
        rest = rest.substr(0, dot);
    }
    parts.fname = rest;
    return parts;
}

std::string MakePath(const std::string& drive, const std::string& dir, const std::string& fname,
                     const std::string& ext) {
    std::string path;
    if (!drive.empty()) {
        path += drive[0];
        path += ':';
    }
    if (!dir.empty()) {
        path += dir;
        if (!IsSeparator(dir.back())) {
            path += '\\';
        }
    }
    path += fname;
    if (!ext.empty()) {
        if (ext[0] != '.') {
            path += '.';
        }
        path += ext;
    }
    return path;
}

std::string FolderOf(const std::string& path) {
    size_t last = path.rfind('\\');
    return last == std::string::npos ? std::string() : path.substr(0, last);
}
