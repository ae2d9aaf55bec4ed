#include "ProductInfo.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

TEST(ProductInfoTest, DefaultsWithoutFile) {
    test::TempDir dir;
    TProductInfoLoader loader(dir / "info.dat");
    EXPECT_FALSE(loader.FileRead());
    EXPECT_EQ(loader.ProductName(), "Orvane");
    EXPECT_TRUE(loader.IsMainProduct());
    EXPECT_TRUE(loader.Info().Guid(TProductInformationPacket::GridServiceID).IsNull());
    EXPECT_TRUE(loader.VisualStudioBuilds());
}

TEST(ProductInfoTest, ReadsTheFileAndReportsDamage) {
    test::TempDir dir;
    TProductInformationPacket info;
    info.SetStr(TProductInformationPacket::ProductCaption, "Other");
    info.SetGuid(TProductInformationPacket::GridServiceID,
                 GuidFromText("{00000000-0000-0000-0000-0000000000AB}"));
    info.SetBool(TProductInformationPacket::VisualStudioAddIn, false);
    info.SaveToFile(dir / "info.dat");
    TProductInfoLoader loader(dir / "info.dat");
    EXPECT_TRUE(loader.FileRead());
    EXPECT_EQ(loader.ProductName(), "Other");
    EXPECT_FALSE(loader.IsMainProduct());
    EXPECT_FALSE(loader.VisualStudioAddIn());
    EXPECT_EQ(loader.Info().Guid(TProductInformationPacket::GridServiceID).Bytes()[15], 0xAB);

    test::WriteFile(dir / "bad.dat", "junk");
    EXPECT_THROW(TProductInfoLoader(dir / "bad.dat"), Exception);
}

TEST(ProductInfoTest, ProcessLoaderRetriesWhileTheFileIsMissing) {
    test::TempDir dir;
    const TProductInfoLoader& first = ProductInformation(dir / "late.dat");
    EXPECT_FALSE(first.FileRead());
    TProductInformationPacket info;
    info.SetStr(TProductInformationPacket::ProductCaption, "Late");
    info.SaveToFile(dir / "late.dat");
    const TProductInfoLoader& second = ProductInformation(dir / "late.dat");
    EXPECT_TRUE(second.FileRead());
    EXPECT_EQ(second.ProductName(), "Late");
    EXPECT_EQ(&ProductInformation(dir / "late.dat"), &second);
}

} // namespace
} // namespace qz
