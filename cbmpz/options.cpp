#include "cbmpz/options.h"

#include <charconv>
#include <string_view>

namespace cbmpz {

namespace {

// The largest -j value taken: beyond it threads would only wait for cores.
constexpr unsigned kMaxJobs = 256;

bool ParseJobs(std::string_view text, unsigned& jobs) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end || value > kMaxJobs) {
        return false;
    }
    jobs = value;
    return true;
}

class Parser {
  public:
    explicit Parser(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    ParsedCommandLine Run() {
        bool optionsEnded = false;
        for (next_ = 0; next_ < arguments_.size() && error_.empty();) {
            const std::string& argument = arguments_[next_++];
            if (optionsEnded || argument == "-" || argument.size() < 2 || argument[0] != '-') {
                parsed_.options.files.push_back(argument);
            } else if (argument == "--") {
                optionsEnded = true;
            } else if (argument[1] == '-') {
                Long(argument);
            } else {
                Shorts(argument);
            }
        }
        Check();
        parsed_.error = error_;
        return parsed_;
    }

  private:
    // A group of short options: "-dcf", "-j2", "-o name", "-oname".
    void Shorts(const std::string& argument) {
        for (std::size_t i = 1; i < argument.size() && error_.empty(); ++i) {
            const char letter = argument[i];
            if (letter == 'j' || letter == 'o') {
                std::string value;
                if (i + 1 < argument.size()) {
                    value = argument.substr(i + 1);
                } else if (!TakeValue(std::string("-") + letter, value)) {
                    return;
                }
                WithValue(letter == 'j' ? "jobs" : "output", value);
                return;
            }
            if (!Flag(letter)) {
                error_ = "invalid option -- '" + std::string(1, letter) + "'";
            }
        }
    }

    void Long(const std::string& argument) {
        const std::size_t equals = argument.find('=');
        const std::string name =
            argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        if (name == "jobs" || name == "output") {
            std::string value;
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (!TakeValue("--" + name, value)) {
                return;
            }
            WithValue(name, value);
            return;
        }
        static constexpr struct {
            const char* name;
            char letter;
        } kLongFlags[] = {{"stdout", 'c'}, {"to-stdout", 'c'}, {"decompress", 'd'},
                          {"force", 'f'},  {"help", 'h'},      {"keep", 'k'},
                          {"list", 'l'},   {"quiet", 'q'},     {"recursive", 'r'},
                          {"test", 't'},   {"verbose", 'v'},   {"version", 'V'},
                          {"rm", '\0'}};
        if (equals == std::string::npos) {
            for (const auto& flag : kLongFlags) {
                if (name == flag.name) {
                    if (flag.letter == '\0') {
                        parsed_.options.removeInputs = true;
                    } else {
                        Flag(flag.letter);
                    }
                    return;
                }
            }
        }
        error_ = "unrecognized option '" + argument + "'";
    }

    bool TakeValue(const std::string& option, std::string& value) {
        if (next_ >= arguments_.size()) {
            error_ = "option '" + option + "' requires an argument";
            return false;
        }
        value = arguments_[next_++];
        return true;
    }

    void WithValue(const std::string& name, const std::string& value) {
        Options& options = parsed_.options;
        if (name == "jobs") {
            if (!ParseJobs(value, options.jobs)) {
                error_ = "invalid number of jobs '" + value + "' (0 to 256; 0 = the usable cores)";
            }
        } else if (value.empty()) {
            error_ = "the output file name is empty";
        } else {
            options.output = value;
        }
    }

    bool Flag(char letter) {
        Options& options = parsed_.options;
        switch (letter) {
            case 'c':
                options.toStdout = true;
                return true;
            case 'd':
                if (options.mode == Mode::kCompress) {
                    options.mode = Mode::kDecompress;
                }
                return true;
            case 'f':
                options.force = true;
                return true;
            case 'h':
                options.help = true;
                return true;
            case 'k':
                options.removeInputs = false;
                return true;
            case 'l':
                options.mode = Mode::kList;
                return true;
            case 'q':
                options.verbosity = 0;
                return true;
            case 'r':
                options.recursive = true;
                return true;
            case 't':
                if (options.mode != Mode::kList) {
                    options.mode = Mode::kTest;
                }
                return true;
            case 'v':
                options.verbosity = options.verbosity < 1 ? 2 : options.verbosity + 1;
                return true;
            case 'V':
                options.version = true;
                return true;
            default:
                return false;
        }
    }

    // Combinations that cannot mean anything.
    void Check() {
        const Options& options = parsed_.options;
        if (!error_.empty() || options.help || options.version) {
            return;
        }
        if (!options.output.empty()) {
            if (options.toStdout) {
                error_ = "-o and -c cannot be used together";
            } else if (options.mode == Mode::kTest || options.mode == Mode::kList) {
                error_ = "-o has no use with -t or -l";
            } else if (options.files.size() > 1 || options.recursive) {
                error_ = "-o takes one input file";
            }
        }
    }

    const std::vector<std::string>& arguments_;
    std::size_t next_ = 0;
    ParsedCommandLine parsed_;
    std::string error_;
};

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    return Parser(arguments).Run();
}

const char* HelpText() {
    return "Usage: cbmpz [OPTION]... [FILE]...\n"
           "Compress BMP files into CBMP files (x.bmp becomes x.cbmp), or decompress them.\n"
           "With no FILE, or when FILE is -, read standard input and write standard output.\n"
           "\n"
           "  -d, --decompress   decompress (x.cbmp becomes x.bmp)\n"
           "  -c, --stdout       write to standard output, keep the input files\n"
           "  -o FILE            write the one input's result to FILE\n"
           "  -k, --keep         keep the input files (the default)\n"
           "      --rm           remove each input once its output is complete and on the disk\n"
           "  -f, --force        overwrite existing outputs; write compressed data to a terminal\n"
           "  -r, --recursive    convert the files in directories and their subdirectories\n"
           "                     (*.bmp when compressing, *.cbmp otherwise; symbolic links\n"
           "                     are not followed)\n"
           "  -t, --test         decode each CBMP file and check it, writing nothing\n"
           "  -l, --list         show each CBMP file's header: size, bit depth, sizes, ratio\n"
           "  -j, --jobs=N       use N threads in all (default 0: the usable cores)\n"
           "  -q, --quiet        no warnings\n"
           "  -v, --verbose      a line for each file\n"
           "  -h, --help         show this help and exit\n"
           "  -V, --version      show the version and exit\n"
           "\n"
           "Exit status: 0 on success, 1 if an error occurred, 2 if only warnings did.\n";
}

}  // namespace cbmpz
