// port! with a handle! actor: make accepts the handle (no native scheme exists to serve it), and
// every forwarded action then fails with access invalid-port. A handle cannot be written in the
// language, so the scheme is completed from C++.
#include "core/console.h"
#include "core/context.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "environment_fixture.h"
#include "test_values.h"

#include <cstring>

namespace kel {
namespace {

using PortTest = test::EnvironmentTest;

TEST_F(PortTest, HandleActorPassesMakeAndFailsOnUse) {
    run("system/schemes: make system/schemes [h: make object! [name: 'h actor: none]]");
    Cell scheme = run("system/schemes/h");
    ASSERT_TRUE(scheme.is(T_OBJECT));
    int32_t i = object_symbol_index(&scheme, symbol_make("actor"));
    ASSERT_GE(i, 0);
    handle_set(object_value_at(object_context(&scheme), uint32_t(i)), HANDLE_FD, 3);

    Cell port = run("p: make port! [scheme: 'h]");
    ASSERT_TRUE(port.is(T_PORT));
    EXPECT_TRUE(run("p/actor").is(T_HANDLE));
    for (const char* use : {"clear p", "read p", "length? p", "append p 1", "close p", "write p 1"})
        EXPECT_EQ(test::raised([&] { run(use); }), Err::InvalidPort) << use;
}

} // namespace
} // namespace kel
