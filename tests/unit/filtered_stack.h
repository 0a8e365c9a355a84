// A device stack with the filter on it, as most driver tests need: the
// driver loaded, a PDO on the simulated bus, and the filter added on top.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/pnp.h"

class FilteredStackTest : public ::testing::Test {
protected:
    // Resets the kernel and builds the stack; call through
    // ASSERT_NO_FATAL_FAILURE so that a failed step ends the set-up.
    void BuildStack(const sim::PdoOptions& options = {}) {
        sim::ResetKernel();
        driver_ = sim::LoadDriver(DriverEntry, "zelkor");
        ASSERT_NE(driver_, nullptr);
        pdo_ = &sim::CreatePdo("\\Device\\00000062", options);
        ASSERT_EQ(sim::PnpAddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
        filter_ = sim::TopOfStack(pdo_->Device());
        control_ = sim::FindDevice(std::string("\\Device\\Zelkor1"));
        ASSERT_NE(control_, nullptr);
        record_ = static_cast<PZK_EXTENSION>(filter_->DeviceExtension);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    sim::Pdo* pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT control_ = nullptr;
    PZK_EXTENSION record_ = nullptr;
};
