#include "cli/ConfigurationCheck.h"

#include "app/MessageIds.h"
#include "config/Configuration.h"
#include "config/IniProfileReader.h"
#include "engine/posix/PosixErrors.h"
#include "engine/posix/UniqueFd.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kBootImageSize = 960;

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The steps list of the main window, which a transfer fills while it reads the steps.
class IgnoredSteps : public IStepsList {
public:
    void ResetContent() override {}
    void AddString(const std::string&) override {}
};

std::string Hex(const unsigned char* bytes, unsigned size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// Reads a file from start to end in chunks, handing each to `take`; false with errno set on a
// failure. Only a regular file is read: a FIFO or a device would block.
template <typename Take> bool ReadWhole(const std::string& path, Take take) {
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!file || fstat(file.Get(), &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    unsigned char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = read(file.Get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        take(buffer, static_cast<size_t>(count));
    }
}

// The program file's blocks: a length byte L, then L + 4 bytes, filling the file exactly.
class BlockWalk {
public:
    void Take(const unsigned char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i, ++offset) {
            if (left == 0) {
                blockStart = offset;
                left = bytes[i] + 5u;
                ++blocks;
            }
            --left;
        }
    }
    bool Complete() const { return left == 0; }
    uint32_t blocks = 0;
    uint64_t offset = 0;
    uint64_t blockStart = 0;
    uint32_t left = 0; // bytes of the current block still to come
};

// The SHA-256 of the bytes as lower-case hex; empty when it cannot be made.
std::string Sha256Hex(const std::string& bytes) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), hash, &length, EVP_sha256(), nullptr) != 1) {
        return std::string();
    }
    return Hex(hash, length);
}

// The whole file, or nothing when it cannot be read.
std::shared_ptr<const std::string> FileBytes(const std::string& path) {
    auto bytes = std::make_shared<std::string>();
    if (path.empty() || !ReadWhole(path, [&](const unsigned char* data, size_t count) {
            bytes->append(reinterpret_cast<const char*>(data), count);
        })) {
        return nullptr;
    }
    return bytes;
}

// The facts of a file's bytes; false when they cannot be read.
bool Describe(FileFacts& file, std::unordered_map<std::string, std::shared_ptr<const std::string>>& served) {
    std::shared_ptr<const std::string> bytes = FileBytes(file.path);
    if (!bytes) {
        return false;
    }
    file.size = bytes->size();
    file.sha256 = Sha256Hex(*bytes);
    served[file.path] = bytes;
    return true;
}

std::string ErrnoWords(int error) {
    return std::strerror(error);
}

ConfigurationProblem Problem(const std::string& file, const std::string& words, bool refusedByTransfer) {
    ConfigurationProblem problem;
    problem.file = file;
    problem.words = words;
    problem.refusedByTransfer = refusedByTransfer;
    return problem;
}

ConfigurationProblem Logged(const std::string& file, const std::string& words, unsigned id, uint32_t code,
                            const std::string& argument) {
    ConfigurationProblem problem = Problem(file, words, false);
    problem.id = id;
    problem.code = code;
    problem.argument = argument;
    return problem;
}

// A step file that the transfer would refuse to start with: none named, missing or unreadable.
std::optional<ConfigurationProblem> CheckNamed(const std::string& file, const std::string& key,
                                               const StepFacts& step, size_t number) {
    if (file.empty()) {
        return Problem(key + "=", "step " + std::to_string(number) + " (" + step.title + ") names no file",
                       true);
    }
    if (access(file.c_str(), F_OK) != 0) {
        return Problem(file, ErrnoWords(errno), true);
    }
    struct stat status {};
    if (stat(file.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return Problem(file, S_ISDIR(status.st_mode) ? ErrnoWords(EISDIR) : "not a regular file", true);
    }
    if (access(file.c_str(), R_OK) != 0) {
        return Problem(file, ErrnoWords(errno), true);
    }
    return std::nullopt;
}

// `named` is the file as the step names it, which the log's message shows.
std::optional<ConfigurationProblem> ReadBootFile(const std::string& named, FileFacts& facts) {
    const std::string file = PosixFileSystem::NativePath(named);
    if (!HashFile(file, facts.sha256, facts.size)) {
        return Logged(file, ErrnoWords(errno), IDS_ERROR_READING_BIN, Win32CodeOf(errno), named);
    }
    if (facts.size > kBootImageSize) {
        return Logged(file,
                      "boot file of " + std::to_string(facts.size) + " bytes is larger than the " +
                          std::to_string(kBootImageSize) + " bytes of the boot image",
                      IDS_BIN_TOO_LARGE, static_cast<uint32_t>(facts.size), named);
    }
    return std::nullopt;
}

std::optional<ConfigurationProblem> ReadProgramFile(const std::string& named, StepFacts& step) {
    const std::string file = PosixFileSystem::NativePath(named);
    std::unique_ptr<EVP_MD_CTX, DigestFree> digest(EVP_MD_CTX_new());
    BlockWalk walk;
    const bool hashed = digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1;
    const bool read = hashed && ReadWhole(file, [&](const unsigned char* bytes, size_t count) {
                          EVP_DigestUpdate(digest.get(), bytes, count);
                          walk.Take(bytes, count);
                      });
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!read || EVP_DigestFinal_ex(digest.get(), hash, &length) != 1) {
        return Logged(file, ErrnoWords(errno), IDS_ERROR_READING_B86, Win32CodeOf(errno), named);
    }
    step.programFile.sha256 = Hex(hash, length);
    step.programFile.size = walk.offset;
    step.blocks = walk.blocks;
    if (walk.offset == 0) {
        return Logged(file, "the program file is empty", IDS_ERROR_READING_B86, 0, named);
    }
    if (!walk.Complete()) {
        return Logged(file,
                      "malformed program file: block " + std::to_string(walk.blocks) + " at byte " +
                          std::to_string(walk.blockStart) + " runs " + std::to_string(walk.left) +
                          " bytes past the end of the file",
                      IDS_INVALID_B86_FORMAT, 0, named);
    }
    return std::nullopt;
}

std::optional<ConfigurationProblem> CheckConfigurationFile(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return Problem(path, ErrnoWords(errno), true);
    }
    if (S_ISDIR(status.st_mode)) {
        return Problem(path, ErrnoWords(EISDIR), true);
    }
    if (access(path.c_str(), R_OK) != 0) {
        return Problem(path, ErrnoWords(errno), true);
    }
    return std::nullopt;
}

} // namespace

std::string AbsolutePath(const std::string& path) {
    return PosixFileSystem::AbsolutePath(path);
}

bool HashFile(const std::string& path, std::string& sha256, uint64_t& size) {
    std::unique_ptr<EVP_MD_CTX, DigestFree> digest(EVP_MD_CTX_new());
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
        errno = ENOMEM;
        return false;
    }
    size = 0;
    const bool read = ReadWhole(path, [&](const unsigned char* bytes, size_t count) {
        EVP_DigestUpdate(digest.get(), bytes, count);
        size += count;
    });
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!read || EVP_DigestFinal_ex(digest.get(), hash, &length) != 1) {
        return false;
    }
    sha256 = Hex(hash, length);
    return true;
}

ConfigurationFacts InspectConfiguration(const std::string& path, const ITextCatalogue& catalogue) {
    ConfigurationFacts facts;
    const std::string native = PosixFileSystem::NativePath(path);
    facts.path = AbsolutePath(native);
    facts.problem = CheckConfigurationFile(native);
    if (facts.problem) {
        return facts;
    }
    uint64_t size = 0;
    if (!HashFile(native, facts.sha256, size)) {
        facts.problem = Problem(path, ErrnoWords(errno), true);
        return facts;
    }
    IniProfileReader profile;
    PosixFileSystem files;
    ConfigurationContext context{profile, files, catalogue};
    Configuration configuration(context, path);
    IgnoredSteps list;
    if (!configuration.ParseSteps(list) || configuration.Steps().empty()) {
        facts.problem = Problem(path, "no loading steps: its [LoadingSteps] section lists none", true);
        return facts;
    }
    for (const auto& step : configuration.Steps()) {
        StepFacts stepFacts;
        stepFacts.title = step->title;
        stepFacts.ackByte = step->connectAck;
        facts.steps.push_back(stepFacts);
    }
    // Every file that can be read is described; the first problem is the one the user hears of.
    auto note = [&facts](std::optional<ConfigurationProblem> problem) {
        if (problem && !facts.problem) {
            facts.problem = std::move(problem);
        }
    };
    for (size_t i = 0; i < facts.steps.size(); ++i) {
        const LoadingStep& step = *configuration.Steps()[i];
        StepFacts& stepFacts = facts.steps[i];
        const std::string boot = PosixFileSystem::NativePath(step.bootFile);
        const std::string program = PosixFileSystem::NativePath(step.firmwareFile);
        stepFacts.bootFile.path = boot.empty() ? boot : AbsolutePath(boot);
        stepFacts.programFile.path = program.empty() ? program : AbsolutePath(program);
        note(CheckNamed(boot, "BootFile", stepFacts, i + 1));
        note(CheckNamed(program, "Firmware", stepFacts, i + 1));
    }
    for (size_t i = 0; i < facts.steps.size(); ++i) {
        const LoadingStep& step = *configuration.Steps()[i];
        if (!CheckNamed(PosixFileSystem::NativePath(step.bootFile), "BootFile", facts.steps[i], i + 1)) {
            note(ReadBootFile(step.bootFile, facts.steps[i].bootFile));
        }
        if (!CheckNamed(PosixFileSystem::NativePath(step.firmwareFile), "Firmware", facts.steps[i], i + 1)) {
            note(ReadProgramFile(step.firmwareFile, facts.steps[i]));
        }
    }
    return facts;
}

StepFiles ReadStepFiles(const std::vector<StepFacts>& checked) {
    StepFiles files;
    files.steps = checked;
    for (StepFacts& step : files.steps) {
        Describe(step.bootFile, files.bytes);
        if (Describe(step.programFile, files.bytes)) {
            BlockWalk walk;
            const std::string& bytes = *files.bytes[step.programFile.path];
            walk.Take(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
            step.blocks = walk.blocks;
        }
    }
    return files;
}
