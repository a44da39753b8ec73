// libFuzzer target: arbitrary bytes as a .cfg file, read the way the program reads it — the
// description, the key list, each step's title, AckByte, BootFile and Firmware — through the
// native profile reader and the configuration model. Any crash, sanitizer report or broken rule
// below is a finding.
#include "app/Catalogue.h"
#include "config/Configuration.h"
#include "config/IniProfileReader.h"
#include "tests/support/ConfigurationCases.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Require(bool rule) {
    if (!rule) {
        std::abort();
    }
}

uint32_t Hash(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 16777619u;
    }
    return hash;
}

// File tests decided by the name, so that every branch of the file checks is taken.
class NameDecidedFiles : public IFileSystem {
public:
    bool FileExists(const std::string& path) const override { return !path.empty() && Hash(path) % 3 != 0; }
    bool FileReadable(const std::string& path) const override { return !path.empty() && Hash(path) % 4 != 0; }
};

// One input as a file of its own, removed when it goes.
class InputFile {
public:
    InputFile(const uint8_t* data, size_t size) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-fuzz-XXXXXX.cfg").string();
        const int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) {
            return;
        }
        size_t written = 0;
        while (written < size) {
            const ssize_t n = ::write(fd, data + written, size - written);
            if (n <= 0) {
                break;
            }
            written += static_cast<size_t>(n);
        }
        ::close(fd);
        path = pattern;
        complete = written == size;
    }
    ~InputFile() {
        if (!path.empty()) {
            ::unlink(path.c_str());
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Ready() const { return complete; }
    const std::string& Path() const { return path; }

private:
    std::string path;
    bool complete = false;
};

struct Reading {
    std::string description;
    bool parsed = false;
    std::vector<std::string> lines;
    size_t steps = 0;
};

Reading Read(const ConfigurationContext& context, const std::string& path) {
    Configuration configuration(context, path);
    RecordingStepsList list;
    Reading reading;
    reading.parsed = configuration.ParseSteps(list);
    reading.description = configuration.Description();
    reading.lines = list.lines;
    reading.steps = configuration.Steps().size();

    Require(!reading.description.empty() &&
            reading.description.size() <= std::max<size_t>(2046, path.size() + 2));
    Require(reading.parsed == (reading.steps > 0));
    Require(reading.lines.size() >= 4 * reading.steps && reading.lines.size() <= 6 * reading.steps);
    for (const auto& step : configuration.Steps()) {
        Require(step->bootFile.size() <= 259 + path.size() && step->firmwareFile.size() <= 259 + path.size());
    }
    configuration.Validate();
    size_t walked = 0;
    for (LoadingStep* step = configuration.FirstStep(); step != nullptr; step = configuration.NextStep()) {
        ++walked;
    }
    Require(walked == reading.steps && configuration.NextStep() == nullptr);
    return reading;
}

// The reader writes no more than its buffer allows, ends what it writes with a zero and touches
// nothing after it.
void CheckBufferLimits(IProfileReader& reader, const std::string& path) {
    const char* const names[] = {nullptr, "LoadingSteps", "Step1", ""};
    for (unsigned size : {0u, 1u, 3u, 30u}) {
        for (const char* section : names) {
            for (const char* key : names) {
                std::string buffer(size + 8, '\xA5');
                const unsigned length = reader.GetString(section, key, "'d' ", buffer.data(), size, path);
                if (size == 0) {
                    Require(length == 0 && buffer.find_first_not_of('\xA5') == std::string::npos);
                    continue;
                }
                Require(length < size && buffer[length] == '\0');
                Require(buffer.find_first_not_of('\xA5', length + 1) == std::string::npos);
                if (size == 1) {
                    Require(static_cast<int32_t>(reader.GetInt(section, key, -1, path)) >= 0);
                }
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile file(data, size);
    if (!file.Ready()) {
        return 0;
    }
    IniProfileReader reader;
    NameDecidedFiles files;
    const BuiltInCatalogue texts(CatalogueLanguage::English);
    const ConfigurationContext context{reader, files, texts};
    const Reading first = Read(context, file.Path());
    // A new reader parses the file anew and must read the same.
    IniProfileReader fresh;
    const Reading anew = Read(ConfigurationContext{fresh, files, texts}, file.Path());
    Require(anew.lines == first.lines && anew.description == first.description);
    CheckBufferLimits(reader, file.Path());
    return 0;
}
