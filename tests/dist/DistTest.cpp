// The shipped Wardline.dll as a host on Windows meets it, against the one the
// build linked: stripping and signing must add a signature that the module's
// own check accepts, and must leave the version resource as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trust/SignatureCheck.h"

namespace
{

using Norvan::internal::SignatureStep;

const wchar_t* const kShipped = DIST_SHIPPED_DLL;
const wchar_t* const kBuilt = DIST_BUILT_DLL;

std::vector<BYTE> versionBlock(const wchar_t* path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data()))
    {
        ADD_FAILURE() << "no version resource in " << std::string(path, path + wcslen(path)) << ", error "
                      << GetLastError();
        block.clear();
    }
    return block;
}

} // namespace

TEST(ShippedLibrary, PassesTheModulesOwnSignatureCheckWhichTheBuiltOneFails)
{
    SignatureStep step = SignatureStep::Accepted;
    EXPECT_TRUE(Norvan::internal::checkFileSignature(kShipped, Norvan::internal::builtInTrustLists(), &step))
        << "refused at " << Norvan::internal::signatureStepName(step);

    // The signature is the packaging's: the linked library has none.
    EXPECT_FALSE(Norvan::internal::checkFileSignature(kBuilt, Norvan::internal::builtInTrustLists(), &step));
    EXPECT_EQ(SignatureStep::NoSignature, step) << Norvan::internal::signatureStepName(step);
}

TEST(ShippedLibrary, CarriesTheBuiltVersionResourceUnchanged)
{
    const std::vector<BYTE> shipped = versionBlock(kShipped);
    const std::vector<BYTE> built = versionBlock(kBuilt);
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(built, shipped);
}
