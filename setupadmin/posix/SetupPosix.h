// What the POSIX program tells the system layer that Windows knows itself.
#pragma once

namespace setupadmin {

// The arguments of main, kept as one command-line text.
void PlatformSetArguments(int argc, char** argv);

}  // namespace setupadmin
