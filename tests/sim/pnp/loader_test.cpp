// The driver loader: a module enters through its DriverEntry with its service's registry path,
// and every load starts with fresh globals.
#include "sim/kernel/include/sim_gtest.h"
#include "sim/kernel/include/sim_pnp.h"

namespace {

const std::u16string kProbeKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe";

class LoaderTest : public sim::KernelTest {
protected:
    void TearDown() override {
        sim::RegistryDeleteTree(kProbeKey);
        sim::UninstallAll();
        sim::KernelTest::TearDown();
    }
};

TEST_F(LoaderTest, EachLoadOfAModuleStartsWithFreshGlobals) {
    for (int load = 0; load < 2; load++) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver = sim::LoadDriverModule(PROBE_DRIVER_PATH, u"Probe", &status);
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(sim::DriverName(driver), "\\Driver\\Probe");
        EXPECT_EQ(sim::RegistryGetDword(kProbeKey, u"Entries"), 1u) << "load " << load;
        sim::UnloadDriverModule(driver);
    }
}

TEST_F(LoaderTest, ServiceNameDefaultsToTheModuleFileName) {
    PDRIVER_OBJECT driver = sim::LoadDriverModule(PROBE_DRIVER_PATH);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(sim::DriverName(driver), "\\Driver\\pnp_probe_driver");
    sim::UnloadDriverModule(driver);
    sim::RegistryDeleteTree(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pnp_probe_driver");
}

TEST_F(LoaderTest, MissingModuleOrFailingEntryLoadsNothing) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(sim::LoadDriverModule("/nonexistent/NoSuchDriver.so", u"", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);

    sim::RegistrySetDword(kProbeKey, u"FailEntry", 1);
    EXPECT_EQ(sim::LoadDriverModule(PROBE_DRIVER_PATH, u"Probe", &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    // The failed load left nothing behind: the next one starts from fresh globals again.
    sim::RegistryDeleteValue(kProbeKey, u"FailEntry");
    PDRIVER_OBJECT driver = sim::LoadDriverModule(PROBE_DRIVER_PATH, u"Probe", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(sim::RegistryGetDword(kProbeKey, u"Entries"), 1u);
    sim::UnloadDriverModule(driver);
}

}  // namespace
