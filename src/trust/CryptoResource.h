#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "wrappers/UniqueResource.h"

namespace Norvan::internal
{

// Owners for the CryptoAPI handles of the trust code, in the shape of the
// owners in wrappers/UniqueResource.h.
namespace details
{
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

using unique_cert_store = Norvan::unique_resource<HCERTSTORE, details::cert_store_traits>;
using unique_crypt_msg = Norvan::unique_resource<HCRYPTMSG, details::crypt_msg_traits>;
using unique_cert_context = Norvan::unique_resource<PCCERT_CONTEXT, details::cert_context_traits>;
using unique_chain_context = Norvan::unique_resource<PCCERT_CHAIN_CONTEXT, details::chain_context_traits>;

} // namespace Norvan::internal
