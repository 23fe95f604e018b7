#pragma once

namespace hexstamp::platform {

// Windows hands a program its arguments in the ANSI code page, which cannot name every file:
// there they are read again from the wide command line, as UTF-8. Elsewhere, as given.
void utf8_arguments(int& argc, char**& argv);

} // namespace hexstamp::platform
