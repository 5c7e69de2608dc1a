#include "trust/CabinetUpdate.h"

#include <fcntl.h>
#include <fdi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "trust/TrustedList.h"
#include "wrappers/UniqueResource.h"

namespace Norvan::internal
{

namespace
{

typedef HFDI(DIAMONDAPI* FDICreateFn)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int,
                                      PERF);
typedef BOOL(DIAMONDAPI* FDICopyFn)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
typedef BOOL(DIAMONDAPI* FDIDestroyFn)(HFDI);

// Cabinet.dll from the system folder with its three FDI entry points; an
// empty library when it or any entry point is missing.
struct CabinetLibrary
{
    unique_hmodule library;
    FDICreateFn create = nullptr;
    FDICopyFn copy = nullptr;
    FDIDestroyFn destroy = nullptr;
};

CabinetLibrary loadCabinetLibrary()
{
    CabinetLibrary cabinet;
    cabinet.library.reset(::LoadLibraryExW(L"Cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!cabinet.library)
    {
        return cabinet;
    }
    HMODULE module = cabinet.library.get();
    cabinet.create =
        reinterpret_cast<FDICreateFn>(reinterpret_cast<void*>(::GetProcAddress(module, "FDICreate")));
    cabinet.copy = reinterpret_cast<FDICopyFn>(reinterpret_cast<void*>(::GetProcAddress(module, "FDICopy")));
    cabinet.destroy =
        reinterpret_cast<FDIDestroyFn>(reinterpret_cast<void*>(::GetProcAddress(module, "FDIDestroy")));
    if (!cabinet.create || !cabinet.copy || !cabinet.destroy)
    {
        cabinet.library.reset();
    }
    return cabinet;
}

// The cabinet is opened by this name; FDI hands it back to the open callback,
// which maps it to the real (wide) path.
char kCabinetToken[] = "|wardline-cabinet|";
char kNoPath[] = "";

struct Extraction
{
    std::wstring cabinet;
    std::wstring extracted; // path of the extracted list, when one was written
    INT_PTR output = -1;    // handle of the file being written
    ULONGLONG written = 0;
    bool done = false; // the first "trusted.js" was taken
};

// FDI's file callbacks carry no context; one extraction runs per thread at a
// time, and FDICopy calls back on the calling thread.
thread_local Extraction* t_extraction = nullptr;

FNALLOC(fdiAlloc)
{
    return ::HeapAlloc(::GetProcessHeap(), 0, cb);
}

FNFREE(fdiFree)
{
    ::HeapFree(::GetProcessHeap(), 0, pv);
}

FNOPEN(fdiOpen)
{
    // Only the cabinet itself is ever opened; a request for a continuation
    // cabinet or any other name fails.
    if (!t_extraction || !pszFile || std::strcmp(pszFile, kCabinetToken) != 0 ||
        (oflag & (_O_WRONLY | _O_RDWR)))
    {
        return -1;
    }
    HANDLE h = ::CreateFileW(t_extraction->cabinet.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
}

FNREAD(fdiRead)
{
    DWORD read = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &read, nullptr))
    {
        return static_cast<UINT>(-1);
    }
    return read;
}

FNWRITE(fdiWrite)
{
    if (t_extraction && hf == t_extraction->output)
    {
        t_extraction->written += cb;
        if (t_extraction->written > TrustedList::kMaxFileSize)
        {
            return static_cast<UINT>(-1);
        }
    }
    DWORD written = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &written, nullptr))
    {
        return static_cast<UINT>(-1);
    }
    return written;
}

FNCLOSE(fdiClose)
{
    if (t_extraction && hf == t_extraction->output)
    {
        t_extraction->output = -1;
    }
    return ::CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1;
}

FNSEEK(fdiSeek)
{
    DWORD method = FILE_BEGIN;
    if (seektype == SEEK_CUR)
    {
        method = FILE_CURRENT;
    }
    else if (seektype == SEEK_END)
    {
        method = FILE_END;
    }
    const DWORD pos = ::SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, method);
    return pos == INVALID_SET_FILE_POINTER ? -1 : static_cast<long>(pos);
}

// Reads at offsets of a cabinet held open; false for anything not there.
class CabinetBytes
{
public:
    explicit CabinetBytes(HANDLE file) : file_(file) {}
    bool read(ULONGLONG offset, void* out, DWORD size) const
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ::ReadFile(file_, out, size, &got, &at) && got == size;
    }

private:
    HANDLE file_;
};

#pragma pack(push, 1)
struct CabinetHeader
{
    char signature[4];
    DWORD reserved1;
    DWORD cbCabinet;
    DWORD reserved2;
    DWORD coffFiles;
    DWORD reserved3;
    BYTE versionMinor;
    BYTE versionMajor;
    WORD cFolders;
    WORD cFiles;
    WORD flags;
    WORD setID;
    WORD iCabinet;
};
struct CabinetFolder
{
    DWORD coffCabStart;
    WORD cCFData;
    WORD typeCompress;
};
struct CabinetFile
{
    DWORD cbFile;
    DWORD uoffFolderStart;
    WORD iFolder;
    WORD date;
    WORD time;
    WORD attribs;
};
struct CabinetData
{
    DWORD csum;
    WORD cbData;
    WORD cbUncomp;
};
#pragma pack(pop)

constexpr WORD kReservePresent = 0x0004;
constexpr WORD kMaxBlockBytes = 32768;
constexpr WORD kCompressionTypes = 4; // none, MSZIP, Quantum, LZX
constexpr DWORD kMaxEntryName = 256;

// The cabinet's tables, checked before Cabinet.dll sees the file: the update
// only ever reads cabinets that failed the trust check, and FDI is not
// written for hostile input (Wine's FDICopy follows a file's folder index
// through an empty folder table). What passes is one whole cabinet of format
// 1.3 without continuations whose tables lie inside its declared size, whose
// folders' data blocks follow one another, and whose files each lie inside
// the data of a folder of this cabinet.
bool cabinetIsWellFormed(HANDLE file)
{
    const CabinetBytes bytes(file);
    LARGE_INTEGER fileSize{};
    CabinetHeader header{};
    if (!::GetFileSizeEx(file, &fileSize) || !bytes.read(0, &header, sizeof(header)) ||
        std::memcmp(header.signature, "MSCF", 4) != 0 || header.versionMajor != 1 ||
        header.versionMinor != 3 || (header.flags & ~kReservePresent) != 0 || header.cFolders == 0 ||
        header.cFiles == 0 || header.cbCabinet < sizeof(header) ||
        static_cast<LONGLONG>(header.cbCabinet) > fileSize.QuadPart)
    {
        return false;
    }
    // Everything FDI reads lies before cbCabinet; a signature may follow.
    const ULONGLONG end = header.cbCabinet;
    ULONGLONG offset = sizeof(header);
    WORD cbCFHeader = 0;
    BYTE cbCFFolder = 0;
    BYTE cbCFData = 0;
    if (header.flags & kReservePresent)
    {
        BYTE reserve[4] = {};
        if (!bytes.read(offset, reserve, sizeof(reserve)))
        {
            return false;
        }
        cbCFHeader = static_cast<WORD>(reserve[0] | reserve[1] << 8);
        cbCFFolder = reserve[2];
        cbCFData = reserve[3];
        offset += sizeof(reserve) + cbCFHeader;
    }

    std::vector<ULONGLONG> folderBytes(header.cFolders, 0);
    ULONGLONG dataEnd =
        offset + static_cast<ULONGLONG>(header.cFolders) * (sizeof(CabinetFolder) + cbCFFolder);
    if (dataEnd > end)
    {
        return false;
    }
    for (WORD i = 0; i < header.cFolders; ++i, offset += sizeof(CabinetFolder) + cbCFFolder)
    {
        CabinetFolder folder{};
        if (!bytes.read(offset, &folder, sizeof(folder)) ||
            (folder.typeCompress & 0x000F) >= kCompressionTypes || folder.cCFData == 0 ||
            folder.coffCabStart < dataEnd)
        {
            return false;
        }
        ULONGLONG block = folder.coffCabStart;
        for (WORD j = 0; j < folder.cCFData; ++j)
        {
            CabinetData data{};
            if (!bytes.read(block, &data, sizeof(data)) || data.cbUncomp > kMaxBlockBytes ||
                ((folder.typeCompress & 0x000F) == 0 && data.cbData != data.cbUncomp))
            {
                return false;
            }
            block += sizeof(data) + cbCFData + data.cbData;
            if (block > end)
            {
                return false;
            }
            folderBytes[i] += data.cbUncomp;
        }
        dataEnd = block;
    }

    if (header.coffFiles < offset || header.coffFiles >= end)
    {
        return false;
    }
    offset = header.coffFiles;
    for (WORD k = 0; k < header.cFiles; ++k)
    {
        CabinetFile entry{};
        char name[kMaxEntryName + 1] = {};
        const DWORD nameBytes = static_cast<DWORD>(
            std::min<ULONGLONG>(sizeof(name), end - std::min(end, offset + sizeof(entry))));
        if (!bytes.read(offset, &entry, sizeof(entry)) || nameBytes == 0 ||
            !bytes.read(offset + sizeof(entry), name, nameBytes) || entry.iFolder >= header.cFolders ||
            static_cast<ULONGLONG>(entry.uoffFolderStart) + entry.cbFile > folderBytes[entry.iFolder])
        {
            return false;
        }
        const void* terminator = std::memchr(name, '\0', nameBytes);
        if (terminator == nullptr)
        {
            return false;
        }
        offset += sizeof(entry) + (static_cast<const char*>(terminator) - name) + 1;
    }
    return true;
}

// A name that did not exist before: "trustedjs" + unique part + ".js".
INT_PTR createTempList(std::wstring* path)
{
    unique_hfile file = TrustedList::createTempFile(path);
    return file ? reinterpret_cast<INT_PTR>(file.release()) : -1;
}

INT_PTR notify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);

// FDI is C code: nothing may be thrown through it.
FNFDINOTIFY(fdiNotify)
{
    try
    {
        return notify(fdint, pfdin);
    }
    catch (...)
    {
        return -1;
    }
}

INT_PTR notify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin)
{
    Extraction* ex = t_extraction;
    if (!ex)
    {
        return -1;
    }
    switch (fdint)
    {
    case fdintCOPY_FILE:
        // Exactly "trusted.js": a name with a folder part never matches, so
        // nothing is written from a name that points elsewhere.
        if (ex->done || !pfdin->psz1 || _stricmp(pfdin->psz1, "trusted.js") != 0 || pfdin->cb < 0 ||
            static_cast<unsigned long>(pfdin->cb) > TrustedList::kMaxFileSize)
        {
            return 0;
        }
        ex->done = true;
        ex->output = createTempList(&ex->extracted);
        ex->written = 0;
        return ex->output == -1 ? 0 : ex->output;
    case fdintCLOSE_FILE_INFO:
    {
        const bool ours = pfdin->hf == ex->output;
        ::CloseHandle(reinterpret_cast<HANDLE>(pfdin->hf));
        if (ours)
        {
            ex->output = -1;
            const DWORD keep = pfdin->attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
            ::SetFileAttributesW(ex->extracted.c_str(), keep ? keep : FILE_ATTRIBUTE_NORMAL);
        }
        return TRUE;
    }
    case fdintNEXT_CABINET:
        return -1;
    case fdintCABINET_INFO:
    case fdintPARTIAL_FILE:
    case fdintENUMERATE:
    default:
        return 0;
    }
}

} // namespace

std::wstring extractTrustedListFromCabinet(const std::wstring& cabinet)
{
    const CabinetLibrary cabinetLibrary = loadCabinetLibrary();
    if (!cabinetLibrary.library)
    {
        return std::wstring();
    }

    // Held without write sharing from the check of its tables to the end of
    // the extraction, so that FDI reads the bytes that were checked.
    unique_hfile held(::CreateFileW(cabinet.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held || !cabinetIsWellFormed(held.get()))
    {
        return std::wstring();
    }

    Extraction ex;
    ex.cabinet = cabinet;
    Extraction* previous = t_extraction;
    t_extraction = &ex;
    ERF erf{};
    HFDI fdi = cabinetLibrary.create(fdiAlloc, fdiFree, fdiOpen, fdiRead, fdiWrite, fdiClose, fdiSeek,
                                     cpuUNKNOWN, &erf);
    BOOL copied = FALSE;
    if (fdi)
    {
        copied = cabinetLibrary.copy(fdi, kCabinetToken, kNoPath, 0, fdiNotify, nullptr, nullptr);
        cabinetLibrary.destroy(fdi);
    }
    if (ex.output != -1)
    {
        ::CloseHandle(reinterpret_cast<HANDLE>(ex.output));
        ex.output = -1;
    }
    t_extraction = previous;
    if (!copied)
    {
        TrustedList::deleteTempFile(ex.extracted);
        return std::wstring();
    }
    return ex.extracted;
}

CabinetUpdateResult runCabinetUpdate(const std::wstring& cabinet, TrustedList& list)
{
    if (!loadCabinetLibrary().library)
    {
        return CabinetUpdateResult::NoCabinetLibrary;
    }
    const std::wstring candidate = extractTrustedListFromCabinet(cabinet);
    if (candidate.empty())
    {
        return CabinetUpdateResult::NotExtracted;
    }
    CabinetUpdateResult result = CabinetUpdateResult::CandidateRefused;
    {
        TrustedList::Contents contents;
        HANDLE held = nullptr;
        if (list.readFile(candidate, &contents, nullptr, &held))
        {
            unique_hfile hold(held);
            if (contents.lists.version < 8)
            {
                result = CabinetUpdateResult::VersionTooLow;
            }
            else
            {
                switch (list.install(candidate, contents.lists.version))
                {
                case TrustedList::InstallResult::Installed:
                    result = CabinetUpdateResult::Installed;
                    break;
                case TrustedList::InstallResult::NotNewer:
                    result = CabinetUpdateResult::NotNewer;
                    break;
                case TrustedList::InstallResult::Failed:
                    result = CabinetUpdateResult::InstallFailed;
                    break;
                }
            }
        }
    }
    TrustedList::deleteTempFile(candidate);
    return result;
}

} // namespace Norvan::internal
