// ShellExecute through the desktop's opener, behind a seam that tests replace.
#pragma once

#include <functional>
#include <string>

namespace vx::platform {

// One request, texts in the ANSI code page (CP949), as the caller passed them.
struct ShellExecRequest {
    std::string verb;       // "open", "" (default verb), "properties", ...
    std::string file;       // a path (Windows form or POSIX) or a URL
    std::string parameters;
    std::string directory;
    int show = 1;
    std::string nativePath; // the file's POSIX path as on disk, when the shell knows it
};

// Returns true when the request was handed to an opener.
using ShellExecHandler = std::function<bool(const ShellExecRequest &)>;

// Replaces the opener; an empty handler restores the desktop's opener. Returns the previous one.
ShellExecHandler SetShellExecHandler(ShellExecHandler handler);

// Runs a request through the current opener.
bool ShellExec(const ShellExecRequest &request);

// The desktop's opener hands files of this extension (".hlp", compared without case) to
// `opener` instead of the desktop; an empty opener removes the association.
void RegisterFileTypeOpener(const std::string &extension, ShellExecHandler opener);

} // namespace vx::platform

constexpr int SW_SHOWNORMAL = 1;

// As the platform call: a value above 32 means success, 2 (file not found) or 31 (no
// association) otherwise. `hwnd` is unused here.
long ShellExecuteA(void *hwnd, const char *verb, const char *file, const char *parameters,
                   const char *directory, int show);
