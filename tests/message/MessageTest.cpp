#include "message/Message.h"
#include "message/MessageContext.h"
#include "support/Packed.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

using namespace Norvan;

// While set, every allocation of this thread through operator new fails, as
// when the process has run out of memory.
static thread_local bool t_allocationsFail = false;

void* operator new(std::size_t size)
{
    void* block = t_allocationsFail ? nullptr : std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
    {
        throw std::bad_alloc();
    }
    return block;
}

namespace
{

std::vector<unsigned char> bytesOf(const MessageContext& context)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(&context);
    return std::vector<unsigned char>(begin, begin + sizeof(context));
}

std::uint16_t read16(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t read32(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(read16(bytes, offset)) |
           (static_cast<std::uint32_t>(read16(bytes, offset + 2)) << 16);
}

void write16(unsigned char* bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<unsigned char>(value & 0xFF);
    bytes[offset + 1] = static_cast<unsigned char>(value >> 8);
}

void write32(unsigned char* bytes, std::size_t offset, std::uint32_t value)
{
    write16(bytes, offset, static_cast<std::uint16_t>(value & 0xFFFF));
    write16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

// A host record as raw bytes, filled with a pattern so that every copied byte
// is recognisable.
std::vector<unsigned char> hostRecord(std::size_t size, std::uint16_t version, std::uint32_t totalSize)
{
    std::vector<unsigned char> record(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        record[i] = static_cast<unsigned char>(0x40 + i);
    }
    write32(record.data(), 2, totalSize);
    write16(record.data(), 10, version);
    return record;
}

std::wstring exeFileName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path);
    return full.substr(full.rfind(L'\\') + 1);
}

} // namespace

TEST(Message, NewRecordIsTheDefaultWithSizeOfItsStrings)
{
    Message message(L"A", L"B", L"CD");
    const auto bytes = bytesOf(*message.getContext());
    ASSERT_EQ(108u, bytes.size());
    EXPECT_EQ(1u, read16(bytes, 0));   // kind
    EXPECT_EQ(122u, read32(bytes, 2)); // 108 + 2 * 4 + 6
    EXPECT_EQ(0u, read32(bytes, 6));   // flags
    EXPECT_EQ(2u, read16(bytes, 10));  // version
    for (std::size_t i = 12; i < 100; ++i)
    {
        EXPECT_EQ(0u, bytes[i]) << "host data and reply routing start zeroed, offset " << i;
    }
    EXPECT_EQ(11u, read16(bytes, 100)); // extension tag
    EXPECT_EQ(8u, read16(bytes, 102));  // extension length
    EXPECT_EQ(0u, read32(bytes, 104));  // session
}

TEST(Message, TotalSizeCountsUtf16UnitsAndTerminators)
{
    EXPECT_EQ(108u + 6u, packed(Message(L"", L"", L"").getContext()->totalSize));
    // A character outside the basic plane is two code units.
    EXPECT_EQ(108u + 2u * 2u + 6u, packed(Message(L"\xD83D\xDE00", L"", L"").getContext()->totalSize));
}

TEST(MessageFactory, EmptySourceBecomesTheLibraryFileName)
{
    // The tests link the module's code statically, so "the library that
    // contains the code" is this executable.
    std::shared_ptr<Message> message;
    ASSERT_EQ(MODULE_STATUS_SUCCESS, createMessage(message, L"N", L"", L"P"));
    ASSERT_TRUE(message);
    EXPECT_EQ(exeFileName(), message->getSource());
    EXPECT_EQ(exeFileName(), defaultMessageSource());
    EXPECT_EQ(L"N", message->getName());
    EXPECT_EQ(L"P", message->getPayload());
    EXPECT_EQ(108u + 2u * (2u + exeFileName().size()) + 6u, packed(message->getContext()->totalSize));
}

TEST(MessageFactory, AFailedAllocationGivesAnEmptyMessageAndAStatus)
{
    std::shared_ptr<Message> message = std::make_shared<Message>(L"old", L"old", L"old");
    t_allocationsFail = true;
    const ModuleStatus status = createMessage(message, L"N", L"S", L"P");
    t_allocationsFail = false;
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION, status);
    EXPECT_FALSE(message) << "the caller's earlier message must not be left behind as if it were the new one";
}

TEST(MessageFactory, CopiesTheCallersStringsAndReplacesTheOutPointer)
{
    const std::wstring name = L"Name";
    const std::wstring source = L"Source";
    std::shared_ptr<Message> message = std::make_shared<Message>(L"old", L"old", L"old");
    ASSERT_EQ(MODULE_STATUS_SUCCESS, createMessage(message, name, source, L""));
    EXPECT_EQ(L"Name", message->getName());
    EXPECT_EQ(L"Source", message->getSource());
    EXPECT_EQ(L"", message->getPayload());
    EXPECT_EQ(L"Name", name);
    EXPECT_EQ(L"Source", source);
}

TEST(CopyContext, Version1RecordBecomesVersion2WithDefaultExtension)
{
    auto record = hostRecord(100, 1, 130);
    Message message(L"A", L"B", L"CD");
    copyContext(message, record.data());

    const auto bytes = bytesOf(*message.getContext());
    EXPECT_EQ(138u, read32(bytes, 2));
    EXPECT_EQ(2u, read16(bytes, 10));
    EXPECT_EQ(11u, read16(bytes, 100));
    EXPECT_EQ(8u, read16(bytes, 102));
    EXPECT_EQ(0u, read32(bytes, 104));
    for (std::size_t i = 0; i < 100; ++i)
    {
        if (i >= 2 && i < 6)
        {
            continue; // totalSize
        }
        if (i == 10 || i == 11)
        {
            continue; // version
        }
        EXPECT_EQ(record[i], bytes[i]) << "offset " << i;
    }
}

TEST(CopyContext, OtherVersionsAreTreatedAsTheShortRecord)
{
    for (std::uint16_t version : {0, 3, 0xFFFF})
    {
        auto record = hostRecord(100, version, 200);
        Message message(L"A", L"B", L"C");
        copyContext(message, record.data());
        EXPECT_EQ(2u, packed(message.getContext()->version)) << version;
        EXPECT_EQ(208u, packed(message.getContext()->totalSize)) << version;
        EXPECT_EQ(0u, packed(message.getContext()->sessionId)) << version;
        EXPECT_EQ(11u, packed(message.getContext()->extensionTag)) << version;
    }
}

TEST(CopyContext, Version2RecordIsCopiedWhole)
{
    auto record = hostRecord(108, 2, 500);
    write32(record.data(), 104, 5);
    Message message(L"A", L"B", L"CD");
    copyContext(message, record.data());
    EXPECT_EQ(record, bytesOf(*message.getContext()));
    EXPECT_EQ(5u, packed(message.getContext()->sessionId));
    EXPECT_EQ(500u, packed(message.getContext()->totalSize));
}

TEST(CopyContext, NullRecordResetsToTheDefault)
{
    auto record = hostRecord(108, 2, 500);
    auto message = std::make_shared<Message>(L"A", L"B", L"CD");
    copyContext(message, record.data());
    copyContext(message, nullptr);

    Message fresh(L"A", L"B", L"CD");
    EXPECT_EQ(bytesOf(*fresh.getContext()), bytesOf(*message->getContext()));

    // No message: nothing to copy into, and nothing breaks.
    copyContext(std::shared_ptr<Message>(), record.data());
}
