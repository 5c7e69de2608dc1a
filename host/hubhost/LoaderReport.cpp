#include "LoaderReport.h"

#include "Text.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <deque>
#include <mutex>
#include <utility>

namespace hubhost
{

namespace
{

bool startsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The variable part of `message` between a fixed prefix and a fixed suffix.
bool between(const std::wstring& message, const wchar_t* prefix, const wchar_t* suffix, std::wstring& middle)
{
    const std::size_t head = std::wcslen(prefix);
    const std::size_t tail = std::wcslen(suffix);
    if (message.size() < head + tail || !startsWith(message, prefix) ||
        message.compare(message.size() - tail, tail, suffix) != 0)
    {
        return false;
    }
    middle = message.substr(head, message.size() - head - tail);
    return true;
}

std::wstring joined(const std::wstring& folder, const std::wstring& file)
{
    return folder.empty() ? file : folder + L"\\" + file;
}

// Lines modules logged, with the thread that logged them: from the debugger
// output and from their events. Bounded: lines of threads that are never
// asked for must not pile up.
class ModuleLogLines
{
public:
    static ModuleLogLines& instance()
    {
        static ModuleLogLines tap;
        return tap;
    }

    void start()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_handler == nullptr)
        {
            m_handler = AddVectoredExceptionHandler(1, &ModuleLogLines::onException);
        }
    }

    std::vector<std::wstring> take(DWORD thread)
    {
        std::vector<std::wstring> taken;
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_lines.begin(); it != m_lines.end();)
        {
            if (it->first == thread)
            {
                taken.push_back(std::move(it->second));
                it = m_lines.erase(it);
            }
            else
            {
                ++it;
            }
        }
        return taken;
    }

    void add(const std::wstring& text)
    {
        const DWORD thread = GetCurrentThreadId();
        std::lock_guard<std::mutex> guard(m_lock);
        std::size_t start = 0;
        while (start < text.size())
        {
            std::size_t end = text.find_first_of(L"\r\n", start);
            if (end == std::wstring::npos)
            {
                end = text.size();
            }
            if (end > start)
            {
                if (m_lines.size() == kMaxLines)
                {
                    m_lines.pop_front();
                }
                m_lines.emplace_back(thread, text.substr(start, end - start));
            }
            start = end + 1;
        }
    }

private:
    static constexpr std::size_t kMaxLines = 4096;
    static constexpr DWORD kWideDebugOutput = 0x4001000A; // DBG_PRINTEXCEPTION_WIDE_C

    static LONG CALLBACK onException(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->NumberParameters < 2 || record->ExceptionInformation[1] == 0)
        {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        // The length includes the terminating NUL; never read past it.
        const std::size_t length = static_cast<std::size_t>(record->ExceptionInformation[0]);
        try
        {
            if (record->ExceptionCode == kWideDebugOutput)
            {
                const auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
                instance().add(std::wstring(text, wcsnlen(text, length)));
                return EXCEPTION_CONTINUE_EXECUTION; // handled: no narrow copy follows
            }
            if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
            {
                const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
                const int bytes = static_cast<int>(strnlen(text, length));
                std::wstring wide(static_cast<std::size_t>(bytes), L'\0');
                const int chars =
                    bytes > 0 ? MultiByteToWideChar(CP_ACP, 0, text, bytes, &wide[0], bytes) : 0;
                wide.resize(static_cast<std::size_t>(chars > 0 ? chars : 0));
                instance().add(wide);
                return EXCEPTION_CONTINUE_EXECUTION;
            }
        }
        catch (...)
        {
            // Out of memory: the line is lost, the program goes on.
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    std::mutex m_lock;
    void* m_handler = nullptr;
    std::deque<std::pair<DWORD, std::wstring>> m_lines;
};

} // namespace

std::wstring logMessage(const std::wstring& line)
{
    // "<date> <time> AM$ -- (Level)$ [field]$ [field]$ message"
    const std::size_t level = line.find(L"$ -- (");
    if (level == std::wstring::npos)
    {
        return line;
    }
    std::size_t at = line.find(L")$", level);
    if (at == std::wstring::npos)
    {
        return line;
    }
    at += 2;
    while (line.compare(at, 2, L" [") == 0)
    {
        const std::size_t end = line.find(L"]$", at);
        if (end == std::wstring::npos)
        {
            break;
        }
        at = end + 2;
    }
    if (at < line.size() && line[at] == L' ')
    {
        ++at;
    }
    return line.substr(at);
}

std::vector<LoaderDecision> loaderDecisions(const std::vector<std::wstring>& lines)
{
    std::vector<LoaderDecision> decisions;
    // The candidate the loader last found, until it is loaded or refused.
    bool pending = false;
    bool unnamed = false;
    std::wstring file;
    std::wstring folder;
    const auto settle = [&]()
    {
        if (pending)
        {
            decisions.push_back({LoaderDecision::Loaded, file, folder});
            pending = false;
        }
    };
    const auto refuse =
        [&](LoaderDecision::Kind kind, const std::wstring& library, const std::wstring& detail)
    {
        decisions.push_back({kind, library, detail});
        pending = false;
    };

    for (const std::wstring& line : lines)
    {
        const std::wstring message = logMessage(line);
        std::wstring part;
        if (startsWith(message, L"Loading MesageBusLib by force from path: "))
        {
            settle();
            decisions.push_back({LoaderDecision::FallbackFolder, L"",
                                 message.substr(std::wcslen(L"Loading MesageBusLib by force from path: "))});
        }
        else if (between(message, L"Loading ", L".", part) && part.find(L" from ") != std::wstring::npos)
        {
            settle();
            const std::size_t from = part.find(L" from ");
            file = part.substr(0, from);
            folder = part.substr(from + 6);
            pending = true;
        }
        else if (between(message, L"Blocked library: ", L".", part))
        {
            refuse(LoaderDecision::Blocked, part, L"");
        }
        else if (startsWith(message, L"LoadLibrary Failed. GLE: "))
        {
            const std::wstring error = message.substr(std::wcslen(L"LoadLibrary Failed. GLE: "));
            refuse(error == L"5" ? LoaderDecision::Untrusted : LoaderDecision::LoadFailed,
                   pending ? joined(folder, file) : L"", error);
            // Without the "Loading" line (below the module's severity) the
            // loader's next line names the library.
            unnamed = decisions.back().library.empty();
        }
        else if (unnamed && between(message, L"Failed to load library: ", L".", part) &&
                 part.find(L"Throwing ModuleException") == std::wstring::npos)
        {
            decisions.back().library = part;
            unnamed = false;
        }
        else if (between(message, L"Failed to load ", L".", part) &&
                 part.find(L" function from library: ") != std::wstring::npos)
        {
            const std::size_t at = part.find(L" function from library: ");
            const std::wstring name = part.substr(at + std::wcslen(L" function from library: "));
            // Imports follow a successful load: this is the library just
            // loaded, and unloaded again.
            refuse(LoaderDecision::MissingExport, pending && file == name ? joined(folder, file) : name,
                   part.substr(0, at));
        }
        else if (between(message, L"Failed to find valid path for library: ", L".", part))
        {
            settle();
            decisions.push_back({LoaderDecision::NotFound, part, L""});
        }
    }
    settle();
    return decisions;
}

std::string describe(const LoaderDecision& decision)
{
    const std::string library = toUtf8(decision.library);
    const std::string detail = toUtf8(decision.detail);
    switch (decision.kind)
    {
    case LoaderDecision::Loaded:
        return "loaded " + library + " from " + detail;
    case LoaderDecision::Blocked:
        return "refused " + library + ": its version is blocked";
    case LoaderDecision::Untrusted:
        return "refused " + library + ": not trusted (Windows error " + detail + ")";
    case LoaderDecision::LoadFailed:
        return "refused " + library + ": could not be loaded (Windows error " + detail + ")";
    case LoaderDecision::MissingExport:
        return "refused " + library + ": it has no " + detail + " export";
    case LoaderDecision::NotFound:
        return library + " is in none of its folders";
    case LoaderDecision::FallbackFolder:
        return "no search folders: looking in \"" + detail + "\" (registry or common program files)";
    }
    return std::string();
}

void watchModuleLog()
{
    ModuleLogLines::instance().start();
}

void addModuleLogText(const std::wstring& text)
{
    ModuleLogLines::instance().add(text);
}

void showLoaderDecisions(Output& output, const std::wstring& module)
{
    static const char* const kinds[] = {"loaded",         "blocked",   "untrusted",      "load-failed",
                                        "missing-export", "not-found", "fallback-folder"};
    for (const LoaderDecision& decision :
         loaderDecisions(ModuleLogLines::instance().take(GetCurrentThreadId())))
    {
        Output::Json json("loader");
        json.str("module", module)
            .str8("decision", kinds[decision.kind])
            .str("library", decision.library)
            .str("detail", decision.detail);
        output.emit("[loader] " + toUtf8(module) + ": " + describe(decision), json.done());
    }
}

} // namespace hubhost
