#pragma once

#include "Output.h"

#include <string>
#include <vector>

// What a module's library loader decided (which file it loaded for its bus,
// from which folder, and why it refused a candidate), read from the module's
// own log: the messages of its ETW events (ModuleTrace.h), and whatever it
// writes to the debugger output of this process (the log-file writer copies
// its lines there when the module's log.ini has Options bit 0x01).
namespace hubhost
{

struct LoaderDecision
{
    enum Kind
    {
        Loaded,        // library: file name; detail: folder
        Blocked,       // library: full path
        Untrusted,     // library: full path (or file name); detail: Windows error
        LoadFailed,    // the same, for any other error
        MissingExport, // library: full path (or file name); detail: export name
        NotFound,      // library: file name
        FallbackFolder // detail: the folder the registry (or its fallback) gave
    };
    Kind kind;
    std::wstring library;
    std::wstring detail;
};

// The message of one log line: the text after the writer's timestamp, level
// and prefix fields, or the whole line when it has none.
std::wstring logMessage(const std::wstring& line);

// The loader's decisions in a module's log lines, in order. Lines that are
// no loader decision are passed over.
std::vector<LoaderDecision> loaderDecisions(const std::vector<std::wstring>& lines);

// "loaded Courier.dll from C:\Host", "refused C:\Host\x.dll: its version is blocked", ...
std::string describe(const LoaderDecision& decision);

// Starts collecting this process's debugger output, once; before the first
// module library is loaded, so that nothing it logs is missed.
void watchModuleLog();

// Adds text a module logged on the calling thread (one line or several).
void addModuleLogText(const std::wstring& text);

// Prints, as "[loader] MODULE: ..." lines, the decisions in what modules
// logged on the calling thread since the last call on that thread.
void showLoaderDecisions(Output& output, const std::wstring& module);

} // namespace hubhost
