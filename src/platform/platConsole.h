#pragma once

// The standard streams of a console program as the operator reads them. Text is UTF-8 in the
// program. A Linux terminal takes it as it is; a Windows console shows bytes in its own code
// page (866 or 437, whatever the program's is), so there std::cout and std::cerr write through
// WriteConsoleW while they are a console, and stay UTF-8 bytes when redirected to a file or a
// pipe.

namespace probrix::platform {

// Call once at the start of main, before anything is written.
void UseUnicodeConsole();

}  // namespace probrix::platform
