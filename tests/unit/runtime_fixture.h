// The runtime brought up for unit tests exactly as the program starts it (runtime_init), and
// released afterwards.
//
// Collection stays off during a test unless KEL_GC_STRESS=1 is set, which makes every allocation
// collect first: code under test must then keep no buffer address across an allocation. Tests of
// the collector turn it on themselves.
#pragma once

#include "core/extres.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/runtime.h"

#include <gtest/gtest.h>

namespace kel::test {

inline void runtime_up() {
    g_collector_cycles = 0;   // as in a fresh process: tables made at start-up stamp it
    runtime_init();
    g_root_collect = false;
    g_collector_enabled = g_collector_stress;
}

inline void runtime_down() {
    g_collector_enabled = false;
    extres_release_all();
    memory_release_all();
}

// A fresh runtime for every test.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { runtime_up(); }
    void TearDown() override { runtime_down(); }
};

// One runtime for a whole test program: add it with
// ::testing::AddGlobalTestEnvironment(new kel::test::RuntimeEnvironment).
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { runtime_up(); }
    void TearDown() override { runtime_down(); }
};

} // namespace kel::test
