// The plug-in object's hold on the print system's driver interface, with the
// host's stand-in for that interface.
#include "host/driver_interface.h"

#include <gtest/gtest.h>

#include "plugin/frame_test_support.h"

namespace {

using namespace printsys;

using frametest::PluginObjectTest;

TEST_F(PluginObjectTest, DriverInterfaceIsQueriedOnceAndReleasedOnce) {
  host::DriverInterface driver;
  EXPECT_EQ(plugin_->PublishDriverInterface(&driver), kS_OK);
  EXPECT_EQ(plugin_->PublishDriverInterface(&driver), kS_OK);
  EXPECT_EQ(driver.driverQueries(), 1);
  EXPECT_EQ(driver.outstanding(), 1);
  destroy();
  EXPECT_EQ(driver.releases(), 1);
  EXPECT_EQ(driver.outstanding(), 0);
}

TEST_F(PluginObjectTest, DisableDriverReleasesAndALaterPublicationQueriesAgain) {
  host::DriverInterface notDriver(/*offersDriverInterface=*/false), driver;
  EXPECT_EQ(plugin_->PublishDriverInterface(&notDriver), kE_FAIL);
  EXPECT_EQ(plugin_->PublishDriverInterface(nullptr), kE_FAIL);
  EXPECT_EQ(plugin_->PublishDriverInterface(&driver), kS_OK) << "a refusal is asked again";
  EXPECT_EQ(plugin_->DisableDriver(), kS_OK);
  EXPECT_EQ(plugin_->DisableDriver(), kS_OK);
  EXPECT_EQ(driver.releases(), 1);
  EXPECT_EQ(plugin_->PublishDriverInterface(&driver), kS_OK);
  EXPECT_EQ(driver.driverQueries(), 2);
  destroy();
  EXPECT_EQ(driver.outstanding(), 0);
  EXPECT_EQ(notDriver.outstanding(), 0);
}

}  // namespace
