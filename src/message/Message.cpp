#include "message/Message.h"

#include "module/CallGuarded.h"

#include <windows.h>

#include <cstring>
#include <limits>

namespace Norvan
{

namespace
{

std::uint32_t computeTotalSize(const std::wstring& name, const std::wstring& source,
                               const std::wstring& payload) noexcept
{
    // Three terminating nulls of two bytes each. The field is 32 bits wide;
    // the host defines it so, and wraps for strings it could never carry.
    const std::size_t characters = name.size() + source.size() + payload.size() + 3;
    return static_cast<std::uint32_t>(sizeof(MessageContext) + characters * sizeof(wchar_t));
}

std::wstring readOwnLibraryFileName()
{
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&readOwnLibraryFileName), &self))
    {
        return std::wstring();
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    // A path that filled the buffer was cut short: a truncated name would be
    // a wrong source, so none is given.
    if (length == 0 || length >= MAX_PATH)
    {
        return std::wstring();
    }
    const wchar_t* fileName = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p)
    {
        if (*p == L'\\')
        {
            fileName = p + 1;
        }
    }
    return std::wstring(fileName);
}

} // namespace

Message::Message(std::wstring name, std::wstring source, std::wstring payload)
    : name_(std::move(name)), source_(std::move(source)), payload_(std::move(payload)),
      context_(kDefaultMessageContext)
{
    context_.totalSize = computeTotalSize(name_, source_, payload_);
}

Message::~Message() = default;

void Message::resetContext() noexcept
{
    context_ = kDefaultMessageContext;
    context_.totalSize = computeTotalSize(name_, source_, payload_);
}

const std::wstring& defaultMessageSource()
{
    static const std::wstring source = readOwnLibraryFileName();
    return source;
}

ModuleStatus createMessage(std::shared_ptr<Message>& message, std::wstring name, std::wstring source,
                           std::wstring payload) noexcept
{
    message.reset();
    return callGuarded(
        [&]() -> ModuleStatus
        {
            if (source.empty())
            {
                source = defaultMessageSource();
            }
            message = std::make_shared<Message>(std::move(name), std::move(source), std::move(payload));
            return MODULE_STATUS_SUCCESS;
        });
}

void copyContext(Message& message, const void* hostRecord) noexcept
{
    message.resetContext();
    if (hostRecord == nullptr)
    {
        return;
    }
    MessageContext* context = message.getContext();
    std::uint16_t version = 0;
    std::memcpy(&version, static_cast<const unsigned char*>(hostRecord) + offsetof(MessageContext, version),
                sizeof(version));
    if (version == kMessageContextVersion2)
    {
        std::memcpy(context, hostRecord, kMessageContextSizeV2);
        return;
    }
    // Older records stop before the extension: keep the default extension
    // (no session) and account for it in the size.
    std::memcpy(context, hostRecord, kMessageContextSizeV1);
    context->totalSize += static_cast<std::uint32_t>(kMessageContextSizeV2 - kMessageContextSizeV1);
    context->version = kMessageContextVersion2;
}

void copyContext(const std::shared_ptr<Message>& message, const void* hostRecord) noexcept
{
    if (message)
    {
        copyContext(*message, hostRecord);
    }
}

} // namespace Norvan
