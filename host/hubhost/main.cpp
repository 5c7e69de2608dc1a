// hubhost.exe: loads module libraries the way the host framework does, puts
// them on a Courier bus and runs a script of bus traffic against them.

#include "Bus.h"
#include "ModuleHost.h"
#include "Observed.h"
#include "Output.h"
#include "Script.h"
#include "SettingsHost.h"
#include "Text.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <string>
#include <vector>

namespace
{

const char kHelp[] = R"HELP(hubhost - runs module libraries on a Courier bus and drives them from a script

usage: hubhost.exe [options] <module.dll> [[options] <module.dll>...]

Each module is loaded and driven through its table: CreateObject, NewModule,
InitializeModuleV2 (with a bus handle of its own and the bus table),
StartModule; after the script: StopModule, UninitializeModule, DestroyModule
and the bus handle's release. A module that fails to initialise or start gets
UninitializeModule and DestroyModule at once.

options:
  --script FILE      run the commands in FILE (UTF-8); default and "-": stdin
  --json             print JSON lines instead of text lines
  --courier PATH     the bus library; default: Courier.dll beside hubhost.exe
  --app NAME         application name passed to NewModule (default: hubhost)
  --name NAME        name given to the next module at initialisation and used
                     by scripts to refer to it (default: its file name without
                     the extension)
  --secondary NAME   secondary name of the next module (default: empty)
  --prop NAME=VALUE  a property given to every module (repeatable, in order)
  --init v1|v2       v2 (default) hands the bus over; v1 uses InitializeModule,
                     where the module finds the bus library itself
  --handled failed|all
                     which handled reports to print: those whose subscriber
                     returned a non-zero status (default), or all of them;
                     expect sees all of them either way
  --tap PATTERN      only traffic whose message name matches this regular
                     expression (ECMAScript, the whole name) is shown and
                     seen by expect (default: .*); --no-tap shows nothing
  --help             this text

script: one command a line; blank lines and lines starting with # are skipped.
Options (key=value) come right after the command word; the payload is the rest
of the line, exactly as written (may be empty; JSON may contain spaces).
Statuses are written 0x80000006, 2147483654, MODULE_STATUS_DATA_ERROR or
DATA_ERROR. Record options, where a command sends a context record:
  record=none|v1|v2 (null record, the 100-byte or the 108-byte form; default v2)
  flags=N session=N routing=N    fields of the record (session needs v2)

  publish [source=S] [form=plain|ex] [expect=STATUS] [record options] NAME [PAYLOAD]
      publishes from hubhost's own handle (source default: hubhost), through
      the publish entry or, with form=ex, publishEx; prints the entry's status.
  request [source=S] [timeout=MS] [form=plain|ex] [expect=STATUS] [record options] NAME [PAYLOAD]
      sends a request (timeout default 5000) and waits for its outcome, up to
      the time-out plus one second; prints the reply, the time-out or the
      refusal (for example MODULE_STATUS_NO_SUBSCRIBERS). An accepted request
      whose outcome never comes is a failure.
  expect-reply [status=STATUS] [name=NAME] [source=S] [PAYLOAD]
      checks the outcome of the last request: by default a reply (status 0)
      with a matching payload; status= checks a time-out or refusal instead.
  direct [source=S] [expect=STATUS] [record options] MODULE NAME [PAYLOAD]
      calls the module's DirectMessage (MODULE: its name or #1, #2, ... in
      command-line order) and prints its status. A non-zero status is a
      failure unless expect= names it.
  expect [within=MS] [source=S] [kind=K] [session=N] [next=yes] NAME [PAYLOAD]
      waits (default 2000 ms) for a bus event that matches and has not matched
      an earlier expect. NAME may use * as a wildcard; PAYLOAD omitted or *
      matches any payload, JSON matches the same JSON value (member order and
      spacing aside), other text must be equal. kind= is publish (default),
      request, reply, reply-dropped, timeout, no-subscribers, handled or any;
      all but publish and request are seen only with a bus library that has
      a tap export. status=STATUS matches a handled report whose subscriber
      returned STATUS (it implies kind=handled). With next=yes the oldest
      unmatched event must be this one (handled reports are passed over
      unless they are what is expected).
  expect-none [within=MS] [source=S] [kind=K] [session=N] [status=STATUS] NAME [PAYLOAD]
      fails if a matching unmatched event is there now or comes within the
      time (default 500 ms).
  clear
      forgets every event seen so far (none of them can match any more).
  respond [source=S] NAME [PAYLOAD]
      from now on answers every request named NAME with PAYLOAD: a reply-
      flagged publication carrying the request's context record. Again for
      the same NAME replaces the answer.
  respond-off NAME
      stops answering NAME.
  wait MS
      sleeps; bus traffic keeps being printed meanwhile.
  stats [delivered=N] [failed=N] [thrown=N] [replies=N] [within=MS]
      prints how the bus's counters grew since the last stats (or the start
      of the script): message callbacks run, those that returned a non-zero
      status, those that threw, reply callbacks run. Each given count must be
      the growth; it may take up to within= (default 2000 ms) to be reached.
      Which handler returned what shows in the handled reports.
  unload MODULE
      stops, uninitialises and destroys one module now.
  echo TEXT
      prints TEXT, once: as "[echo] TEXT" (event "echo"), without a "> echo"
      line.
  quit
      ends the script (so does the end of the input).

output (text; with --json one object a line, "event" naming the kind):
  > LINE                  each command but echo as it runs (event "command")
  [module] M F -> STATUS  each module function with its status (event "module")
  [bus] NAME from "SRC": PAYLOAD   each message the tap sees; "(reply)" marks
                          the reply flag (event "bus")
  [bus] handled NAME by OWNER -> STATUS   a subscriber's callback returned
                          STATUS (event "bus", kind "handled"); see --handled
  [loader] M: ...         what module M's library loader decided during the
                          module function reported next: which bus library it
                          loaded from which folder, or why it refused one
                          (event "loader"); read from what the module logs:
                          its ETW events (hubhost plays the trace session,
                          enabled at level 1) or its debugger output
  [publish] / [reply] / [respond] / [check] / [stats] / [manager] / [echo] /
  [error] / [bus-fault] / [hubhost]
With a tap export, requests, replies, request outcomes and handled reports are
shown too, and every command waits until the traffic it caused itself has been
printed (as does every module function). What modules do in reaction is
printed when it happens, from the bus's threads: use expect (or wait) before
relying on its order against later commands.

exit code: 0 all went well; 1 a module function failed, a check failed or the
bus broke its promises (a reply callback twice, late or never); 2 bad command
line, a library that cannot be loaded or a script line that cannot be
understood (the rest of the script is then not run); 3 a crash (a module's
or the host's), reported as the last line. The last line always says which.
)HELP";

struct Arguments
{
    std::wstring script;
    std::wstring courier;
    std::wstring tap = L".*";
    bool json = false;
    bool everyHandled = false;
    bool help = false;
    hubhost::HostConfig host;
    hubhost::SettingsOptions settings;
    std::vector<hubhost::ModuleConfig> modules;
};

std::wstring ownFolder()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
        {
            return std::wstring();
        }
        if (length < buffer.size())
        {
            std::wstring path(buffer.data(), length);
            const std::size_t slash = path.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring baseName(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

// What the options about the next module on the command line collect.
struct NextModule
{
    std::wstring name;
    std::wstring secondary;
    bool named = false;
};

// Options without a value; false when `arg` is none of them.
bool takeFlag(const std::wstring& arg, Arguments& args)
{
    if (arg == L"--help" || arg == L"-h" || arg == L"/?")
    {
        args.help = true;
    }
    else if (arg == L"--json")
    {
        args.json = true;
    }
    else if (arg == L"--no-tap")
    {
        args.tap.clear();
    }
    else
    {
        return false;
    }
    return true;
}

bool takesValue(const std::wstring& arg)
{
    for (const wchar_t* option : {L"--script", L"--courier", L"--app", L"--name", L"--secondary", L"--prop",
                                  L"--init", L"--tap", L"--handled"})
    {
        if (arg == option)
        {
            return true;
        }
    }
    return false;
}

// An option of takesValue with its value; false with the reason when the
// value is not one it takes.
bool takeValue(const std::wstring& arg, const std::wstring& value, Arguments& args, NextModule& next,
               std::string& error)
{
    if (arg == L"--script")
    {
        args.script = value;
    }
    else if (arg == L"--courier")
    {
        args.courier = value;
    }
    else if (arg == L"--app")
    {
        args.host.applicationName = value;
    }
    else if (arg == L"--name")
    {
        next.name = value;
        next.named = true;
    }
    else if (arg == L"--secondary")
    {
        next.secondary = value;
    }
    else if (arg == L"--prop")
    {
        const std::size_t eq = value.find(L'=');
        if (eq == std::wstring::npos || eq == 0)
        {
            error = "--prop takes NAME=VALUE";
            return false;
        }
        args.host.properties.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    }
    else if (arg == L"--init")
    {
        if (value != L"v1" && value != L"v2")
        {
            error = "--init takes v1 or v2";
            return false;
        }
        args.host.initializeV1 = value == L"v1";
    }
    else if (arg == L"--tap")
    {
        if (value.empty())
        {
            error = "--tap needs a pattern";
            return false;
        }
        args.tap = value;
    }
    else if (arg == L"--handled")
    {
        if (value != L"failed" && value != L"all")
        {
            error = "--handled takes failed or all";
            return false;
        }
        args.everyHandled = value == L"all";
    }
    return true;
}

// A module library, named by the options before it.
bool addModule(const std::wstring& path, Arguments& args, NextModule& next, std::string& error)
{
    hubhost::ModuleConfig module;
    module.path = path;
    module.name = next.named ? next.name : baseName(path);
    module.secondaryName = next.secondary;
    for (const auto& other : args.modules)
    {
        if (other.name == module.name)
        {
            error = "two modules named " + hubhost::toUtf8(module.name) + ": give one a --name";
            return false;
        }
    }
    args.modules.push_back(module);
    next = NextModule();
    return true;
}

bool parseArguments(int argc, wchar_t** argv, Arguments& args, std::string& error)
{
    NextModule next;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        bool settingsOk = true;
        if (hubhost::takeSettingsOption(argc, argv, i, args.settings, settingsOk, error))
        {
            if (!settingsOk)
            {
                return false;
            }
            continue;
        }
        if (takeFlag(arg, args))
        {
            continue;
        }
        if (takesValue(arg))
        {
            if (i + 1 >= argc)
            {
                error = hubhost::toUtf8(arg) + " needs a value";
                return false;
            }
            if (!takeValue(arg, argv[++i], args, next, error))
            {
                return false;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-')
        {
            error = "unknown option " + hubhost::toUtf8(arg) + " (see --help)";
            return false;
        }
        if (!addModule(arg, args, next, error))
        {
            return false;
        }
    }
    if (next.named)
    {
        error = "--name is not followed by a module";
        return false;
    }
    return true;
}

bool g_json = false;

// A module that crashes takes the host with it; what matters is that the run
// says so in its last line instead of ending silently (or, under Wine, with an
// exit code that looks like success).
LONG WINAPI reportCrash(EXCEPTION_POINTERS* info)
{
    const DWORD code =
        info != nullptr && info->ExceptionRecord != nullptr ? info->ExceptionRecord->ExceptionCode : 0;
    const void* where = info != nullptr && info->ExceptionRecord != nullptr
                            ? info->ExceptionRecord->ExceptionAddress
                            : nullptr;
    char line[200];
    if (g_json)
    {
        _snprintf_s(
            line, sizeof(line), _TRUNCATE,
            "{\"event\":\"exit\",\"code\":3,\"failures\":1,\"text\":\"crashed: exception 0x%08lX at %p\"}\n",
            static_cast<unsigned long>(code), where);
    }
    else
    {
        _snprintf_s(line, sizeof(line), _TRUNCATE, "[hubhost] exit 3: crashed: exception 0x%08lX at %p\n",
                    static_cast<unsigned long>(code), where);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(std::strlen(line)), &written,
              nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void emitError(hubhost::Output& out, const std::string& text)
{
    hubhost::Output::Json json("error");
    json.str8("text", text);
    out.emit("[error] " + text, json.done());
}

int finish(hubhost::Output& out, int code, unsigned failures, const std::string& why)
{
    hubhost::Output::Json json("exit");
    json.num("code", static_cast<unsigned>(code)).num("failures", failures).str8("text", why);
    out.emit("[hubhost] exit " + std::to_string(code) + ": " + why, json.done());
    return code;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Arguments args;
    std::string error;
    const bool understood = parseArguments(argc, argv, args, error);
    hubhost::Output out(args.json);
    g_json = args.json;
    SetUnhandledExceptionFilter(&reportCrash);
    if (args.help)
    {
        const std::string help = std::string(kHelp) + "\n" + hubhost::kSettingsHelp;
        out.emit(help, std::string("{\"event\":\"help\",\"text\":") +
                           hubhost::jsonQuote(hubhost::fromUtf8(help)) + "}");
        return 0;
    }
    if (!understood)
    {
        emitError(out, error);
        return finish(out, 2, 0, "bad command line");
    }
    if (args.modules.empty())
    {
        emitError(out, "no module library given (see --help)");
        return finish(out, 2, 0, "bad command line");
    }

    std::FILE* input = stdin;
    std::FILE* opened = nullptr;
    if (!args.script.empty() && args.script != L"-")
    {
        opened = _wfopen(args.script.c_str(), L"rb");
        if (opened == nullptr)
        {
            emitError(out, "cannot open script " + hubhost::toUtf8(args.script));
            return finish(out, 2, 0, "bad command line");
        }
        input = opened;
    }
    else
    {
        _setmode(_fileno(stdin), _O_BINARY);
    }

    hubhost::Observed observed;
    unsigned failures = 0;
    int code = 0;
    std::string why = "all went well";
    {
        hubhost::Bus bus(out, observed);
        bus.showEveryHandled(args.everyHandled);
        const std::wstring courierPath = args.courier.empty() ? ownFolder() + L"Courier.dll" : args.courier;
        std::vector<std::unique_ptr<hubhost::LoadedModule>> modules;
        bool ready = bus.load(courierPath, error) && bus.open(args.tap, error);
        if (!ready)
        {
            emitError(out, error);
            code = 2;
            why = "the bus library is not usable";
        }
        // Up before the modules, which may read settings as they start.
        hubhost::SettingsHost settings(out, bus, args.settings);
        if (ready && !settings.start(error))
        {
            emitError(out, error);
            code = 2;
            why = "the settings service cannot start";
            ready = false;
        }
        for (std::size_t i = 0; ready && i < args.modules.size(); ++i)
        {
            modules.emplace_back(new hubhost::LoadedModule(args.modules[i], out, bus));
            if (!modules.back()->start(args.host, failures, error))
            {
                if (!error.empty())
                {
                    emitError(out, error);
                    code = 2;
                    why = "a module library is not usable";
                    ready = false;
                }
                else
                {
                    // The module said no through its own functions: the
                    // script still runs, the others may be worth watching.
                    code = 1;
                }
                error.clear();
            }
        }
        if (ready)
        {
            hubhost::Script script(out, bus, observed, modules);
            settings.addCommands(script);
            if (!script.run(input))
            {
                code = 2;
                why = "the script stopped at a line it could not run";
            }
            failures += script.failures();
        }
        for (auto it = modules.rbegin(); it != modules.rend(); ++it)
        {
            (*it)->stop(failures);
        }
        settings.stop();
        bus.close();
        failures += bus.faults();
        modules.clear();
    }
    if (opened != nullptr)
    {
        std::fclose(opened);
    }
    if (code == 0 && failures != 0)
    {
        code = 1;
    }
    if (code == 1)
    {
        why = std::to_string(failures) + " failure(s)";
    }
    return finish(out, code, failures, why);
}
