// tovrin-mkexample: writes the shipped example and test files of chosen sizes.
#include "tools/mkexample/ExampleFiles.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] = R"(Usage:
  tovrin-mkexample --example DIR
      writes the shipped example into DIR: Example.cfg with two steps, EXAMPLE1.BIN,
      EXAMPLE1.B86, EXAMPLE2.BIN, EXAMPLE2.B86
  tovrin-mkexample --b86 FILE --size BYTES [--seed N] [--short-last-block]
      a program file of exactly BYTES bytes (0 or at least 5) with blocks of varying L,
      the first with L = 0 and L = 255 when the size allows; --short-last-block then cuts
      one byte off its end, which makes the file invalid
  tovrin-mkexample --bin FILE --size BYTES [--seed N]
      a boot image of BYTES pseudo-random bytes (any size; a valid one has at most 960)
The same arguments always give the same bytes.
)";

bool ParseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

struct Arguments {
    std::string mode; // --example, --b86 or --bin
    std::string path;
    uint64_t size = 0;
    bool haveSize = false;
    uint64_t seed = 1;
    bool shortLastBlock = false;
};

bool Parse(const std::vector<std::string>& args, Arguments& parsed, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--short-last-block") {
            parsed.shortLastBlock = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "unknown option or missing value: " + option;
            return false;
        }
        const std::string& value = args[++i];
        if (option == "--example" || option == "--b86" || option == "--bin") {
            parsed.mode = option;
            parsed.path = value;
        } else if (option == "--size") {
            parsed.haveSize = ParseNumber(value, parsed.size);
            if (!parsed.haveSize) {
                error = "bad size " + value;
                return false;
            }
        } else if (option == "--seed") {
            if (!ParseNumber(value, parsed.seed)) {
                error = "bad seed " + value;
                return false;
            }
        } else {
            error = "unknown option " + option;
            return false;
        }
    }
    if (parsed.mode.empty() || (parsed.mode != "--example" && !parsed.haveSize)) {
        error = "nothing to do";
        return false;
    }
    return true;
}

bool Run(const Arguments& args, std::string& error) {
    if (args.mode == "--example") {
        std::error_code code;
        std::filesystem::create_directories(args.path, code);
        if (code) {
            error = "cannot create " + args.path + ": " + code.message();
            return false;
        }
        for (const examples::ExampleFile& file : examples::MakeExample()) {
            if (!examples::WriteFile(args.path + "/" + file.name, file.bytes, error)) {
                return false;
            }
        }
        return true;
    }
    const auto seed = static_cast<uint32_t>(args.seed);
    if (args.mode == "--bin") {
        return examples::WriteFile(args.path, examples::MakeBootImage(args.size, seed), error);
    }
    auto program = examples::MakeProgram(args.size, seed);
    if (!program) {
        error = "no program file has 1 to 4 bytes";
        return false;
    }
    if (args.shortLastBlock) {
        if (program->empty()) {
            error = "an empty program file has no block to cut";
            return false;
        }
        program->pop_back();
    }
    return examples::WriteFile(args.path, *program, error);
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    Arguments parsed;
    std::string error;
    if (!Parse(args, parsed, error)) {
        std::cerr << "tovrin-mkexample: " << error << "\n" << kUsage;
        return 2;
    }
    if (!Run(parsed, error)) {
        std::cerr << "tovrin-mkexample: " << error << "\n";
        return 1;
    }
    return 0;
}
