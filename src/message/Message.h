#pragma once

#include "message/MessageContext.h"
#include "module/ModuleStatus.h"

#include <memory>
#include <string>

namespace Norvan
{

// One message of the host bus: name, source, payload and the context record
// the host reads and writes. Always handled through shared pointers; it has
// no lock, so it is built by one thread and only read by the others (the bus
// client changes the record of a message it publishes).
class Message
{
public:
    // Takes the strings over: callers that move them in are left with empty
    // strings and no copy is made.
    Message(std::wstring name, std::wstring source, std::wstring payload);
    virtual ~Message();

    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    const std::wstring& getName() const noexcept { return name_; }
    const std::wstring& getSource() const noexcept { return source_; }
    const std::wstring& getPayload() const noexcept { return payload_; }

    // The record is handed to the host by address, so it is exposed as such.
    MessageContext* getContext() noexcept { return &context_; }
    const MessageContext* getContext() const noexcept { return &context_; }

    // The default record with totalSize computed for this message's strings.
    void resetContext() noexcept;

private:
    std::wstring name_;
    std::wstring source_;
    std::wstring payload_;
    // Kept inside the message rather than in a block of its own: messages
    // are made one per delivered host message, and a second allocation per
    // message was the largest cost of delivery beyond the strings.
    MessageContext context_;
};

// Makes a message with copies of the strings; an empty source is replaced by
// defaultMessageSource(). Nothing escapes: on any failure (an allocation,
// say) `message` is left empty and MODULE_STATUS_UNKNOWN_EXCEPTION returned.
// The strings are taken by value so that callers that already own a copy can
// move it in.
ModuleStatus createMessage(std::shared_ptr<Message>& message, std::wstring name, std::wstring source,
                           std::wstring payload) noexcept;

// Puts a record the host passed into the message. The message's record is
// reset to the default first; a null record leaves it so. A version 2 record
// is copied whole; any other version has its first 100 bytes copied and is
// turned into version 2 with the default extension (session 0).
void copyContext(Message& message, const void* hostRecord) noexcept;
void copyContext(const std::shared_ptr<Message>& message, const void* hostRecord) noexcept;

// File name of the library this code lives in, found once per process; empty
// when its path cannot be read in full.
const std::wstring& defaultMessageSource();

} // namespace Norvan
