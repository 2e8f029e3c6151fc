// The library's own module file: where it lies, its version, its embedded texts.
#pragma once
#include <string>

namespace platform {

// Full path of the loaded library file (the executable when the library is linked
// statically into a program). Empty when it cannot be found.
std::string ModulePath();

// The module path with its last component removed (no trailing separator).
std::string ModuleFolder();

// The module's file version (major, minor, build, revision). False when the
// module carries no readable version information.
bool ModuleFileVersion(int version[4]);

// The version history text (GBK bytes). False when the module does not carry it.
bool ModuleHistoryText(std::string& out);

// Hooks the library defines and the platform runs when the module is loaded into a
// process and unloaded from it (Windows: DLL attach/detach; elsewhere: the shared
// object's constructors and destructors).
void OnModuleLoad();
void OnModuleUnload();

}  // namespace platform
