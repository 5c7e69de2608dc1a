#include "ModuleHost.h"

#include "LoaderReport.h"
#include "ModuleTrace.h"
#include "Text.h"

#include <mutex>
#include <set>

namespace hubhost
{

namespace
{
// Addresses of the live stand-ins, so that the callback can tell which module
// passed its manager back (the argument's meaning is the host's to define;
// the first one is the likeliest place for it).
std::mutex g_managersLock;
std::set<ModuleManagerStandIn*> g_managers;
Output* g_output = nullptr;
constexpr std::uint32_t kSyncMs = 2000;
} // namespace

LoadedModule::LoadedModule(ModuleConfig config, Output& output, Bus& bus)
    : m_config(std::move(config)), m_output(output), m_bus(bus)
{
}

LoadedModule::~LoadedModule()
{
    unsigned ignored = 0;
    stop(ignored);
    if (m_library != nullptr)
    {
        FreeLibrary(m_library);
    }
}

std::uint32_t LoadedModule::report(const char* function, std::uint32_t status, unsigned& failures)
{
    // What the module put on the bus during the call is shown before its status.
    m_bus.sync(kSyncMs);
    showLoaderDecisions(m_output, m_config.name);
    if (status != 0)
    {
        ++failures;
    }
    const std::string text =
        "[module] " + toUtf8(m_config.name) + " " + function + " -> " + statusText(status);
    Output::Json json("module");
    json.str("module", m_config.name).str8("function", function).status("status", status);
    m_output.emit(text, json.done());
    return status;
}

bool LoadedModule::start(const HostConfig& host, unsigned& failures, std::string& error)
{
    watchModuleLog();
    m_library = LoadLibraryW(m_config.path.c_str());
    if (m_library == nullptr)
    {
        error = "cannot load " + toUtf8(m_config.path) + " (Windows error " + std::to_string(GetLastError()) +
                ")";
        return false;
    }
    traceModule(m_library);
    using CreateObjectFn = const void* (*)();
    const auto create =
        reinterpret_cast<CreateObjectFn>(reinterpret_cast<void*>(GetProcAddress(m_library, "CreateObject")));
    if (create == nullptr)
    {
        error = toUtf8(m_config.path) + " has no CreateObject export";
        return false;
    }
    m_table = static_cast<const ModuleFunctionTable*>(create());
    if (m_table == nullptr)
    {
        error = "CreateObject of " + toUtf8(m_config.path) + " returned no function table";
        return false;
    }
    const ModuleFunctionTable::ManagerCallback* slots =
        reinterpret_cast<const ModuleFunctionTable::ManagerCallback*>(m_table);
    for (int slot = 0; slot < 8; ++slot)
    {
        if (slots[slot] == nullptr)
        {
            error = "the function table of " + toUtf8(m_config.path) + " has no function in slot " +
                    std::to_string(slot);
            return false;
        }
    }

    void* handle = nullptr;
    if (report("NewModule", m_table->NewModule(&handle, host.applicationName.c_str()), failures) != 0)
    {
        return false;
    }
    if (handle == nullptr)
    {
        error = "NewModule succeeded without giving a handle";
        ++failures;
        return false;
    }
    m_handle = handle;

    m_manager.reset(new ModuleManagerStandIn());
    m_manager->output = &m_output;
    m_manager->moduleName = m_config.name;
    {
        std::lock_guard<std::mutex> guard(g_managersLock);
        g_managers.insert(m_manager.get());
        g_output = &m_output;
    }

    std::vector<const wchar_t*> names;
    std::vector<const wchar_t*> values;
    for (const auto& property : host.properties)
    {
        names.push_back(property.first.c_str());
        values.push_back(property.second.c_str());
    }
    const std::uint32_t count = static_cast<std::uint32_t>(names.size());
    std::uint32_t status;
    if (host.initializeV1)
    {
        status = m_table->InitializeModule(m_handle, m_config.name.c_str(), m_config.secondaryName.c_str(),
                                           count, names.empty() ? nullptr : names.data(),
                                           values.empty() ? nullptr : values.data(), m_manager.get(),
                                           &LoadedModule::managerCallback);
        report("InitializeModule", status, failures);
    }
    else
    {
        std::uint32_t handleStatus = 0;
        if (!m_bus.newHandle(m_busHandle, handleStatus))
        {
            error = "the bus refused a handle for the module: " + statusText(handleStatus);
            destroy(failures);
            return false;
        }
        m_bus.label(m_busHandle, m_config.name);
        status = m_table->InitializeModuleV2(m_handle, m_config.name.c_str(), m_config.secondaryName.c_str(),
                                             count, names.empty() ? nullptr : names.data(),
                                             values.empty() ? nullptr : values.data(), m_manager.get(),
                                             &LoadedModule::managerCallback, m_busHandle, m_bus.table());
        report("InitializeModuleV2", status, failures);
    }
    if (status != 0)
    {
        // A host does not start a module that failed to initialise; it gives
        // it the chance to clean up and lets it go.
        report("UninitializeModule", m_table->UninitializeModule(m_handle), failures);
        destroy(failures);
        return false;
    }
    if (report("StartModule", m_table->StartModule(m_handle), failures) != 0)
    {
        report("UninitializeModule", m_table->UninitializeModule(m_handle), failures);
        destroy(failures);
        return false;
    }
    return true;
}

void LoadedModule::stop(unsigned& failures)
{
    if (m_handle == nullptr)
    {
        return;
    }
    // Every step runs even after a failure: what is not torn down now never is.
    report("StopModule", m_table->StopModule(m_handle), failures);
    report("UninitializeModule", m_table->UninitializeModule(m_handle), failures);
    destroy(failures);
}

void LoadedModule::destroy(unsigned& failures)
{
    if (m_handle != nullptr)
    {
        report("DestroyModule", m_table->DestroyModule(m_handle), failures);
        m_handle = nullptr;
    }
    if (m_busHandle != nullptr)
    {
        const std::uint32_t status = m_bus.releaseHandle(m_busHandle);
        if (status != 0)
        {
            Output::Json json("bus-fault");
            json.str8("text", "releaseHandle of the module's handle failed").status("status", status);
            m_output.emit("[bus-fault] releaseHandle for " + toUtf8(m_config.name) + " -> " +
                              statusText(status),
                          json.done());
            ++failures;
        }
        m_busHandle = nullptr;
    }
    if (m_manager)
    {
        std::lock_guard<std::mutex> guard(g_managersLock);
        g_managers.erase(m_manager.get());
    }
    // The stand-in itself stays until the module object goes: a module is
    // free to call back during its own destruction.
}

bool LoadedModule::direct(const RecordOptions& record, const std::wstring& name, const std::wstring& source,
                          const std::wstring& payload, std::uint32_t& status)
{
    if (m_handle == nullptr)
    {
        return false;
    }
    const std::vector<unsigned char> bytes = makeRecord(record, name, source, payload);
    status = m_table->DirectMessage(m_handle, bytes.empty() ? nullptr : bytes.data(), name.c_str(),
                                    source.c_str(), payload.c_str());
    return true;
}

std::uint32_t LoadedModule::managerCallback(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                                            std::uintptr_t d)
{
    try
    {
        std::lock_guard<std::mutex> guard(g_managersLock);
        std::wstring whose = L"?";
        for (ModuleManagerStandIn* manager : g_managers)
        {
            if (reinterpret_cast<std::uintptr_t>(manager) == a)
            {
                ++manager->calls;
                whose = manager->moduleName;
            }
        }
        if (g_output != nullptr)
        {
            const std::string args = hex64(a) + ", " + hex64(b) + ", " + hex64(c) + ", " + hex64(d);
            Output::Json json("manager");
            json.str("module", whose).num("arg0", a).num("arg1", b).num("arg2", c).num("arg3", d);
            g_output->emit("[manager] callback from " + toUtf8(whose) + " (" + args + ")", json.done());
        }
    }
    catch (...)
    {
        return 0x8000000Fu;
    }
    return 0;
}

} // namespace hubhost
