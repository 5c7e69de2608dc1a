// etwdecode: prints every field of one captured event of the module's ETW
// provider by name.
//
//   etwdecode [--data] [--hex] [FILE | -]
//
// The input (a file, or standard input for "-" or no FILE) holds one event
// as a trace consumer receives it: the 48-byte event header, then the event's
// data. --data: the data alone. --hex: the bytes are written as hexadecimal
// digits (white space allowed) instead of raw.
// Exit status: 0 decoded, 1 the bytes are not such an event (the reason goes
// to standard error), 2 usage or input that cannot be read.

#include "EtwEventDecoder.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>

namespace
{

int Usage()
{
    std::fputs("usage: etwdecode [--data] [--hex] [FILE | -]\n", stderr);
    return 2;
}

bool ReadAll(std::FILE* file, std::vector<std::uint8_t>& bytes)
{
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
    {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return std::ferror(file) == 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool withHeader = true;
    bool hex = false;
    const wchar_t* path = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        if (std::wcscmp(argv[i], L"--data") == 0)
        {
            withHeader = false;
        }
        else if (std::wcscmp(argv[i], L"--hex") == 0)
        {
            hex = true;
        }
        else if (path == nullptr && (argv[i][0] != L'-' || std::wcscmp(argv[i], L"-") == 0))
        {
            path = argv[i];
        }
        else
        {
            return Usage();
        }
    }

    std::vector<std::uint8_t> bytes;
    if (path == nullptr || std::wcscmp(path, L"-") == 0)
    {
        _setmode(_fileno(stdin), _O_BINARY);
        if (!ReadAll(stdin, bytes))
        {
            std::fputs("etwdecode: cannot read standard input\n", stderr);
            return 2;
        }
    }
    else
    {
        std::FILE* file = _wfopen(path, L"rb");
        if (file == nullptr)
        {
            std::fprintf(stderr, "etwdecode: cannot open %ls\n", path);
            return 2;
        }
        const bool read = ReadAll(file, bytes);
        std::fclose(file);
        if (!read)
        {
            std::fprintf(stderr, "etwdecode: cannot read %ls\n", path);
            return 2;
        }
    }

    std::string error;
    if (hex)
    {
        std::vector<std::uint8_t> parsed;
        if (!EtwDecode::ParseHex(std::string(bytes.begin(), bytes.end()), parsed, error))
        {
            std::fprintf(stderr, "etwdecode: %s\n", error.c_str());
            return 1;
        }
        bytes.swap(parsed);
    }

    EtwDecode::DecodedEvent event;
    if (!EtwDecode::DecodeEvent(bytes.data(), bytes.size(), withHeader, event, error))
    {
        std::fprintf(stderr, "etwdecode: not an event of this provider: %s\n", error.c_str());
        return 1;
    }
    const std::string text = EtwDecode::FormatEvent(event);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
