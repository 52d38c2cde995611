#include "driver/driver_binding.h"

#include <gtest/gtest.h>

#include "tests/fakes/fakes.h"

namespace {

class DriverBindingTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }
};

TEST_F(DriverBindingTest, BindsAllFiveInLookupOrder) {
  DriverEntryPoints driver;
  StageResult result = BindDriver(FakeLoader(), &driver);

  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.failure_message, "");
  EXPECT_EQ(g_fake_driver.lookups, (std::vector<std::string>{"FT_Open", "FT_SetBitMode", "FT_Write",
                                                             "FT_SetBaudRate", "FT_GetBitMode"}));
  DriverEntryPoints expected = FakeEntryPoints();
  EXPECT_EQ(driver.FT_Open, expected.FT_Open);
  EXPECT_EQ(driver.FT_SetBitMode, expected.FT_SetBitMode);
  EXPECT_EQ(driver.FT_Write, expected.FT_Write);
  EXPECT_EQ(driver.FT_SetBaudRate, expected.FT_SetBaudRate);
  EXPECT_EQ(driver.FT_GetBitMode, expected.FT_GetBitMode);
}

TEST_F(DriverBindingTest, MissingLibraryNamesTheFileAndLooksNothingUp) {
  g_fake_driver.loadable = false;
  DriverEntryPoints driver;
  StageResult result = BindDriver(FakeLoader(), &driver);

  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failure_message, "Error : Can't load libfake.so\n");
  EXPECT_TRUE(g_fake_driver.lookups.empty());
}

struct MissingCase {
  std::set<std::string> exported;
  std::string message;
  std::vector<std::string> lookups;
};

TEST_F(DriverBindingTest, FirstMissingEntryPointInLookupOrderIsNamed) {
  const MissingCase cases[] = {
      {{"FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"},
       "Error : Can't find FT_Open\n",
       {"FT_Open"}},
      {{"FT_Open", "FT_Write", "FT_SetBaudRate"},
       "Error : Can't find FT_SetBitMode\n",
       {"FT_Open", "FT_SetBitMode"}},
      {{"FT_Open", "FT_SetBitMode", "FT_SetBaudRate", "FT_GetBitMode"},
       "Error : Can't find FT_Write\n",
       {"FT_Open", "FT_SetBitMode", "FT_Write"}},
      {{"FT_Open", "FT_SetBitMode", "FT_Write", "FT_GetBitMode"},
       "Error : Can't find FT_SetBaudRate\n",
       {"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate"}},
      {{"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate"},
       "Error : Can't find FT_GetBitMode\n",
       {"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"}},
      // Names that differ only in letter case are not the entry points.
      {{"ft_open", "FT_SETBITMODE", "Ft_Write", "FT_SetBaudrate", "FT_GetBitmode"},
       "Error : Can't find FT_Open\n",
       {"FT_Open"}},
  };
  for (const MissingCase& c : cases) {
    ResetFakes();
    g_fake_driver.exported = c.exported;
    DriverEntryPoints driver;
    StageResult result = BindDriver(FakeLoader(), &driver);

    EXPECT_FALSE(result.ok) << c.message;
    EXPECT_EQ(result.failure_message, c.message);
    EXPECT_EQ(g_fake_driver.lookups, c.lookups) << c.message;
  }
}

}  // namespace
