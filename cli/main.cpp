#include "cli/cli_driver.h"
#include "cli/signal_cleanup.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "io/native_path.h"

// Windows hands the command line over in UTF-16; the driver takes its UTF-8 form, which the file
// functions turn back into the exact UTF-16 names, so every file name works, whatever the ANSI
// code page. (Linked with -municode.)
int wmain(int argc, wchar_t** argv) {
    cbmp::InstallSignalCleanup();
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::wstring_view wide(argv[i]);
        arguments.push_back(cbmp::Utf8FromUtf16(std::u16string(wide.begin(), wide.end())));
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return cbmp::RunCli(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    cbmp::InstallSignalCleanup();
    return cbmp::RunCli(argc, argv);
}
#endif
