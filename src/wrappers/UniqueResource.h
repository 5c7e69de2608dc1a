#pragma once

#include <windows.h>
#include <objbase.h>
#include <wincrypt.h>

#include <utility>

namespace Norvan
{

// Small owners for Windows resources, named after what they release. Each is
// move-only; a resource is released by the object that acquired it.
template <typename T, typename Traits>
class unique_resource
{
public:
    unique_resource() noexcept = default;
    explicit unique_resource(T value) noexcept : value_(value) {}
    ~unique_resource() { reset(); }

    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept
    {
        if (this != &other)
        {
            reset(other.release());
        }
        return *this;
    }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::valid(value_); }

    // Address for APIs that hand out a new resource; releases the current one.
    T* put() noexcept
    {
        reset();
        return &value_;
    }

    T release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(T value = Traits::invalid()) noexcept
    {
        T old = std::exchange(value_, value);
        if (Traits::valid(old))
        {
            Traits::close(old);
        }
    }

private:
    T value_ = Traits::invalid();
};

namespace details
{
struct hkey_traits
{
    static HKEY invalid() noexcept { return nullptr; }
    static bool valid(HKEY key) noexcept { return key != nullptr; }
    static void close(HKEY key) noexcept { ::RegCloseKey(key); }
};
struct handle_traits // CreateFile and friends: INVALID_HANDLE_VALUE is "none"
{
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct handle_null_traits // events, mutexes, processes: null is "none"
{
    static HANDLE invalid() noexcept { return nullptr; }
    static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct hmodule_traits
{
    static HMODULE invalid() noexcept { return nullptr; }
    static bool valid(HMODULE m) noexcept { return m != nullptr; }
    static void close(HMODULE m) noexcept { ::FreeLibrary(m); }
};
struct find_traits // FindFirstFileW: INVALID_HANDLE_VALUE is "none"
{
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(HANDLE h) noexcept { ::FindClose(h); }
};
struct cotaskmem_traits
{
    static wchar_t* invalid() noexcept { return nullptr; }
    static bool valid(wchar_t* p) noexcept { return p != nullptr; }
    static void close(wchar_t* p) noexcept { ::CoTaskMemFree(p); }
};
struct localmem_traits
{
    static HLOCAL invalid() noexcept { return nullptr; }
    static bool valid(HLOCAL p) noexcept { return p != nullptr; }
    static void close(HLOCAL p) noexcept { ::LocalFree(p); }
};
struct cert_store_traits
{
    static HCERTSTORE invalid() noexcept { return nullptr; }
    static bool valid(HCERTSTORE s) noexcept { return s != nullptr; }
    static void close(HCERTSTORE s) noexcept { ::CertCloseStore(s, 0); }
};
struct crypt_msg_traits
{
    static HCRYPTMSG invalid() noexcept { return nullptr; }
    static bool valid(HCRYPTMSG m) noexcept { return m != nullptr; }
    static void close(HCRYPTMSG m) noexcept { ::CryptMsgClose(m); }
};
struct cert_context_traits
{
    static PCCERT_CONTEXT invalid() noexcept { return nullptr; }
    static bool valid(PCCERT_CONTEXT c) noexcept { return c != nullptr; }
    static void close(PCCERT_CONTEXT c) noexcept { ::CertFreeCertificateContext(c); }
};
struct chain_context_traits
{
    static PCCERT_CHAIN_CONTEXT invalid() noexcept { return nullptr; }
    static bool valid(PCCERT_CHAIN_CONTEXT c) noexcept { return c != nullptr; }
    static void close(PCCERT_CHAIN_CONTEXT c) noexcept { ::CertFreeCertificateChain(c); }
};
} // namespace details

using unique_hkey = unique_resource<HKEY, details::hkey_traits>;
using unique_hfile = unique_resource<HANDLE, details::handle_traits>;
using unique_handle = unique_resource<HANDLE, details::handle_null_traits>;
using unique_hmodule = unique_resource<HMODULE, details::hmodule_traits>;
using unique_find = unique_resource<HANDLE, details::find_traits>;
using unique_cotaskmem_string = unique_resource<wchar_t*, details::cotaskmem_traits>;
using unique_hlocal = unique_resource<HLOCAL, details::localmem_traits>;
using unique_cert_store = unique_resource<HCERTSTORE, details::cert_store_traits>;
using unique_crypt_msg = unique_resource<HCRYPTMSG, details::crypt_msg_traits>;
using unique_cert_context = unique_resource<PCCERT_CONTEXT, details::cert_context_traits>;
using unique_chain_context = unique_resource<PCCERT_CHAIN_CONTEXT, details::chain_context_traits>;

// COM interface pointer: releases its reference on destruction.
template <typename I>
class com_ptr
{
public:
    com_ptr() noexcept = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr& other) noexcept : ptr_(other.ptr_)
    {
        if (ptr_)
        {
            ptr_->AddRef();
        }
    }
    com_ptr(com_ptr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    I* get() const noexcept { return ptr_; }
    I* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    I** put() noexcept
    {
        reset();
        return &ptr_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept
    {
        if (I* old = std::exchange(ptr_, nullptr))
        {
            old->Release();
        }
    }
    I* detach() noexcept { return std::exchange(ptr_, nullptr); }

private:
    I* ptr_ = nullptr;
};

} // namespace Norvan
