// Prepares a test prefix for the trust validator:
//   trustsetup root <cert.der>...   adds certificates to the machine "Root" store
//   trustsetup sip <scriptsip.dll>  registers the script subject interface package
// Prints one line per action; exits non-zero on the first failure.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace
{

bool readFile(const wchar_t* path, std::vector<BYTE>* bytes)
{
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20);
    if (ok)
    {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
             read == bytes->size();
    }
    ::CloseHandle(file);
    return ok;
}

int addRoots(int argc, wchar_t** argv)
{
    HCERTSTORE store =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store)
    {
        std::printf("trustsetup: cannot open the machine Root store (%lu)\n", ::GetLastError());
        return 1;
    }
    int rc = 0;
    for (int i = 2; i < argc && rc == 0; ++i)
    {
        std::vector<BYTE> der;
        if (!readFile(argv[i], &der) ||
            !::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        {
            std::printf("trustsetup: adding %ls failed (%lu)\n", argv[i], ::GetLastError());
            rc = 1;
        }
        else
        {
            std::printf("trustsetup: root %ls added\n", argv[i]);
        }
    }
    ::CertCloseStore(store, 0);
    return rc;
}

int registerSip(const wchar_t* dll)
{
    HMODULE module = ::LoadLibraryW(dll);
    if (!module)
    {
        std::printf("trustsetup: cannot load %ls (%lu)\n", dll, ::GetLastError());
        return 1;
    }
    typedef HRESULT(WINAPI * RegisterFn)();
    auto registerServer =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllRegisterServer")));
    const HRESULT hr = registerServer ? registerServer() : E_FAIL;
    ::FreeLibrary(module);
    std::printf("trustsetup: %ls registered: 0x%08lX\n", dll, static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && wcscmp(argv[1], L"root") == 0)
    {
        return addRoots(argc, argv);
    }
    if (argc == 3 && wcscmp(argv[1], L"sip") == 0)
    {
        return registerSip(argv[2]);
    }
    std::printf("usage: trustsetup root <cert.der>... | trustsetup sip <scriptsip.dll>\n");
    return 2;
}
