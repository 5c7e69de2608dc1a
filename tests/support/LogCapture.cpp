#include "support/LogCapture.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <memory>

#include "Logging/LogManager.h"
#include "Logging/LoggingIf.h"

namespace WardlineTest
{

namespace
{

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// Formats with the runtime's Microsoft-convention function, growing the
// buffer until the text fits; the extended writers have no length limit.
std::wstring FormatUnlimited(const wchar_t* format, va_list args)
{
    if (format == nullptr)
    {
        return std::wstring();
    }
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    va_list copy;
    va_copy(copy, args);
    _vsnwprintf_s(&text[0], text.size(), _TRUNCATE, format, copy);
    va_end(copy);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace

// The lines and the threshold, shared with the installed recorder so that a
// recorder still reachable from a logging thread never outlives its data.
class CaptureState
{
public:
    void add(DWORD level, const wchar_t* file, const wchar_t* function, int line, std::wstring text)
    {
        LogLine entry;
        entry.level = level;
        entry.file = Text(file);
        entry.function = Text(function);
        entry.line = line;
        entry.text = std::move(text);
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(entry));
    }

    mutable std::mutex mutex;
    std::vector<LogLine> lines;
    std::atomic<DWORD> severity{1};
    std::atomic<bool> enabled{true};
};

namespace
{

// The recording implementation. The extended form records what
// WriteFormattedEx formats; the plain form leaves formatting to WriteLog.
class Recorder : public ETWLogging::CLoggingIf_ex
{
public:
    explicit Recorder(std::shared_ptr<CaptureState> state) : m_state(std::move(state)) {}

    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override
    {
        return 0;
    }
    DWORD Prepare() override { return 0; }
    const wchar_t* GetSourceName() override { return L"LogCapture"; }
    const wchar_t* GetApplicationName() override { return L"LogCapture"; }
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(bool enabled) override { m_state->enabled.store(enabled); }
    bool IsEnabled() override { return m_state->enabled.load(); }
    DWORD WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override
    {
        va_list args;
        va_start(args, format);
        const DWORD result = WriteFormattedEx(level, file, function, line, format, args);
        va_end(args);
        return result;
    }
    DWORD WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                            const wchar_t* message) override
    {
        m_state->add(level, file, function, line, Text(message));
        return 0;
    }
    bool IsLevelEnabled(DWORD level) override
    {
        return m_state->enabled.load() && level >= m_state->severity.load();
    }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD level) override
    {
        m_state->severity.store(level);
        return 0;
    }
    DWORD GetSeverity() override { return m_state->severity.load(); }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    ...) override
    {
        va_list args;
        va_start(args, format);
        m_state->add(ETWLogging::LevelNormal, file, function, line, FormatUnlimited(format, args));
        va_end(args);
        return 0;
    }
    DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                   ...) override
    {
        va_list args;
        va_start(args, format);
        m_state->add(ETWLogging::LevelError, file, function, line, FormatUnlimited(format, args));
        va_end(args);
        return 0;
    }
    DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                     ...) override
    {
        va_list args;
        va_start(args, format);
        m_state->add(ETWLogging::LevelWarning, file, function, line, FormatUnlimited(format, args));
        va_end(args);
        return 0;
    }
    DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                      ...) override
    {
        va_list args;
        va_start(args, format);
        m_state->add(ETWLogging::LevelCritical, file, function, line, FormatUnlimited(format, args));
        va_end(args);
        return 0;
    }
    DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                         ...) override
    {
        va_list args;
        va_start(args, format);
        m_state->add(ETWLogging::LevelInformation, file, function, line, FormatUnlimited(format, args));
        va_end(args);
        return 0;
    }
    DWORD InitializeEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*,
                       ETWLogging::LoggingConfigListenerIf*) override
    {
        return 0;
    }
    DWORD WritePreformattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* message) override
    {
        m_state->add(level, file, function, line, Text(message));
        return 0;
    }
    DWORD WriteFormattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, va_list args) override
    {
        m_state->add(level, file, function, line, FormatUnlimited(format, args));
        return 0;
    }

private:
    std::shared_ptr<CaptureState> m_state;
};

// The plain form: the manager sees no extended interface, so WriteLog does the
// formatting and the 4160/2080 cut itself.
class PlainRecorder : public ETWLogging::CLoggingIf
{
public:
    explicit PlainRecorder(std::shared_ptr<CaptureState> state) : m_inner(std::move(state)) {}

    DWORD Initialize(const wchar_t* a, HMODULE m, const wchar_t* l,
                     ETWLogging::LoggingConfigListenerIf* c) override
    {
        return m_inner.Initialize(a, m, l, c);
    }
    DWORD Prepare() override { return m_inner.Prepare(); }
    const wchar_t* GetSourceName() override { return m_inner.GetSourceName(); }
    const wchar_t* GetApplicationName() override { return m_inner.GetApplicationName(); }
    DWORD Uninitialize() override { return m_inner.Uninitialize(); }
    void SetEnabled(bool enabled) override { m_inner.SetEnabled(enabled); }
    bool IsEnabled() override { return m_inner.IsEnabled(); }
    DWORD WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override
    {
        va_list args;
        va_start(args, format);
        const DWORD result = m_inner.WriteFormattedEx(level, file, function, line, format, args);
        va_end(args);
        return result;
    }
    DWORD WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                            const wchar_t* message) override
    {
        return m_inner.WritePreformatted(file, function, line, level, message);
    }
    bool IsLevelEnabled(DWORD level) override { return m_inner.IsLevelEnabled(level); }
    DWORD SetMaxEntries(DWORD n) override { return m_inner.SetMaxEntries(n); }
    DWORD GetMaxEntries() override { return m_inner.GetMaxEntries(); }
    DWORD SetMaxSize(DWORD n) override { return m_inner.SetMaxSize(n); }
    DWORD GetMaxSize() override { return m_inner.GetMaxSize(); }
    DWORD SetSeverity(DWORD level) override { return m_inner.SetSeverity(level); }
    DWORD GetSeverity() override { return m_inner.GetSeverity(); }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
#define WARDLINE_FORWARD_LOG(name)                                                                           \
    DWORD name(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override  \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        std::wstring text = FormatUnlimited(format, args);                                                   \
        va_end(args);                                                                                        \
        return m_inner.name(file, function, line, L"%s", text.c_str());                                      \
    }
    WARDLINE_FORWARD_LOG(LogNormal)
    WARDLINE_FORWARD_LOG(LogError)
    WARDLINE_FORWARD_LOG(LogWarning)
    WARDLINE_FORWARD_LOG(LogCritical)
    WARDLINE_FORWARD_LOG(LogInformation)
#undef WARDLINE_FORWARD_LOG

private:
    Recorder m_inner;
};

} // namespace

class LogCapture::Impl
{
public:
    std::shared_ptr<CaptureState> state;
    ETWLogging::CLoggingIf* installed = nullptr;
    ETWLogging::CLoggingIf* previous = nullptr;
};

LogCapture::LogCapture(bool extended) : impl_(new Impl)
{
    impl_->state = std::make_shared<CaptureState>();
    if (extended)
    {
        impl_->installed = new Recorder(impl_->state);
    }
    else
    {
        impl_->installed = new PlainRecorder(impl_->state);
    }
    impl_->previous = ETWLogging::CLogManager::ReplaceImplementationForTest(impl_->installed);
}

LogCapture::~LogCapture()
{
    ETWLogging::CLogManager::ReplaceImplementationForTest(impl_->previous);
    // The recorder is deliberately not freed: a logging thread may still be
    // inside it after reading it from the manager. It is small and holds only
    // the shared state.
    delete impl_;
}

std::vector<LogLine> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(impl_->state->mutex);
    return impl_->state->lines;
}

std::vector<LogLine> LogCapture::find(const std::wstring& fragment) const
{
    std::vector<LogLine> result;
    for (const LogLine& entry : lines())
    {
        if (entry.text.find(fragment) != std::wstring::npos)
        {
            result.push_back(entry);
        }
    }
    return result;
}

std::vector<LogLine> LogCapture::exactly(const std::wstring& text) const
{
    std::vector<LogLine> result;
    for (const LogLine& entry : lines())
    {
        if (entry.text == text)
        {
            result.push_back(entry);
        }
    }
    return result;
}

std::size_t LogCapture::count() const
{
    return lines().size();
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(impl_->state->mutex);
    impl_->state->lines.clear();
}

void LogCapture::setSeverity(DWORD level)
{
    impl_->state->severity.store(level);
}

} // namespace WardlineTest
