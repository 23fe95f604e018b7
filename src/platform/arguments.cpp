#include "platform/arguments.hpp"

#ifdef _WIN32
#include "platform/windows.hpp"

#include <string>
#include <vector>

namespace hexstamp::platform {

// The C runtime's own reading of the wide command line, as it gives wmain its arguments; the
// shell's CommandLineToArgvW would load the whole of the shell and the window system.
struct StartupInfo {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expand_wildcards, StartupInfo* info);

void utf8_arguments(int& argc, char**& argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    StartupInfo info{0};
    if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0 || wide == nullptr) {
        return;
    }
    for (int index = 0; index < count; ++index) {
        texts.push_back(windows::narrow(wide[index]));
    }
    for (std::string& text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
    SetConsoleOutputCP(CP_UTF8);
}

} // namespace hexstamp::platform

#else

namespace hexstamp::platform {

void utf8_arguments(int&, char**&) {}

} // namespace hexstamp::platform

#endif
