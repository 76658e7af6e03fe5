// object!: class ids (new, kept, renewed), copies that own their series and methods, construct,
// reflection, the molded field layout, comparison and path access.
#include "core/context.h"
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

using test::raised;

class Object : public test::RuntimeTest {};

Cell w(TypeId t, const char* name) { return Cell{t, 0, symbol_make(name), 0xFFFFFFFF}; }
Cell sw(const char* name) { return w(T_SET_WORD, name); }

std::string text(const Cell& s) {
    std::string out;
    for (uint32_t cp : test::code_points(s)) out += char(cp);
    return out;
}

std::string molded(const Cell& v, bool flat = false, bool only = false) {
    Cell& out = keep(make_unset());
    string_make_at(&out, 16);
    mold_typed(&v, &out, only, false, flat, false, INT32_MAX, 0);
    return text(out);
}

std::string formed(const Cell& v) {
    Cell& out = keep(make_unset());
    string_make_at(&out, 16);
    form_typed(&v, &out, false, INT32_MAX);
    return text(out);
}

// construct from a block of cells (no prototype unless given).
Cell& constructed(std::initializer_list<Cell> spec, const Cell* proto = nullptr, bool only = false) {
    Cell& s = keep(test::block(spec));
    Cell& result = keep(make_unset());
    object_construct(&result, &s, proto, only);
    return result;
}

const Cell& field(const Cell& obj, const char* name) {
    return *object_get_field_sym(&obj, symbol_make(name));
}

TEST_F(Object, ClassIdsAreNewKeptOrRenewed) {
    Cell& a = constructed({sw("x"), make_integer(1)});
    EXPECT_EQ(object_class_id(&a), 1000001);
    Cell& b = constructed({sw("x"), make_integer(2)});
    EXPECT_EQ(object_class_id(&b), 1000002);   // one counter, never reused

    Cell& copy = keep(make_unset());
    object_copy(&a, &copy, false, nullptr);
    EXPECT_EQ(object_class_id(&copy), 1000001);   // a copy keeps its class
    EXPECT_NE(object_context(&copy), object_context(&a));

    Cell& same_words = constructed({sw("x"), make_integer(5)}, &a);
    EXPECT_EQ(object_class_id(&same_words), 1000001);
    Cell& more_words = constructed({sw("y"), make_integer(5)}, &a);
    EXPECT_EQ(object_class_id(&more_words), 1000003);   // a word added: a new class
    EXPECT_EQ(cell_integer(&field(more_words, "x")), 1);
    EXPECT_EQ(cell_integer(&field(a, "x")), 1);   // the prototype is untouched
}

TEST_F(Object, MakeWithABlockEvaluatesAndKeepsOrRenewsTheClass) {
    Cell& proto = keep(make_datatype(T_OBJECT));
    Cell& spec = keep(test::block({sw("a"), make_integer(1), sw("b"), make_integer(2)}));
    object_make(&proto, &spec);
    ASSERT_TRUE(proto.is(T_OBJECT));
    int32_t first = object_class_id(&proto);
    EXPECT_GT(first, OBJECT_CLASS_COUNTER_START);
    EXPECT_EQ(cell_integer(&field(proto, "b")), 2);
    EXPECT_EQ(context_owner(object_context(&proto))->data2, proto.data2);   // owner cell in step

    Cell& derived = keep(proto);
    Cell& set_only = keep(test::block({sw("a"), make_integer(10)}));
    object_make(&derived, &set_only);
    EXPECT_EQ(object_class_id(&derived), first);
    EXPECT_EQ(cell_integer(&field(derived, "a")), 10);
    EXPECT_EQ(cell_integer(&field(proto, "a")), 1);

    Cell& grown = keep(proto);
    Cell& adds = keep(test::block({sw("c"), make_integer(3)}));
    object_make(&grown, &adds);
    EXPECT_NE(object_class_id(&grown), first);
    EXPECT_EQ(object_word_count(&grown), 3u);

    Cell& bad = keep(make_datatype(T_OBJECT));
    Cell& number = keep(make_integer(1));
    EXPECT_EQ(raised([&] { object_make(&bad, &number); }), Err::Malconstruct);
}

TEST_F(Object, ConstructReadsValuesWithoutEvaluating) {
    Cell& o = constructed({sw("a"), sw("b"), make_integer(1), sw("t"), w(T_WORD, "on"), sw("n"),
                           w(T_WORD, "none"), sw("k"), w(T_WORD, "other"), sw("z")});
    EXPECT_EQ(cell_integer(&field(o, "a")), 1);   // two set-words in a row share the value
    EXPECT_EQ(cell_integer(&field(o, "b")), 1);
    EXPECT_TRUE(field(o, "t").is(T_LOGIC) && field(o, "t").data1 == 1);
    EXPECT_TRUE(field(o, "n").is(T_NONE));
    EXPECT_TRUE(field(o, "k").is(T_WORD));
    EXPECT_TRUE(field(o, "z").is(T_NONE));   // the block ended
    Cell& only = constructed({sw("t"), w(T_WORD, "true")}, nullptr, true);
    EXPECT_TRUE(field(only, "t").is(T_WORD));
}

TEST_F(Object, DeepCopiesOwnTheirSeries) {
    Cell& inner = keep(test::block({make_integer(1)}));
    Cell& o = constructed({sw("b"), inner});
    Cell& shallow = keep(make_unset());
    object_copy(&o, &shallow, false, nullptr);
    EXPECT_EQ(series_node(&field(shallow, "b")), series_node(&inner));
    Cell& deep = keep(make_unset());
    object_copy(&o, &deep, true, nullptr);
    EXPECT_NE(series_node(&field(deep, "b")), series_node(&inner));
    EXPECT_EQ(block_rs_length(&field(deep, "b")), 1);

    Cell& part = keep(make_integer(1));
    Cell& result = keep(make_unset());
    CopyFn copy = action_impl<A_COPY>(T_OBJECT);
    EXPECT_EQ(raised([&] { copy(&o, &result, &part, false, nullptr); }), Err::InvalidRefineArg);
}

TEST_F(Object, CopiedMethodsSeeTheCopy) {
    Cell& spec = keep(test::block({}));
    Cell& body = keep(test::block({w(T_WORD, "v")}));
    function_make(&spec, &body, 0, 0);
    Cell& fn = keep(*stack_top());
    Cell& o = constructed({sw("v"), make_integer(1), sw("m"), fn});
    // bind the method's body to the object, as make does for a method written in its spec
    Cell method_body = *function_more_cell(&fn, MORE_BODY);
    bind_block(&method_body, object_context(&o), true);

    Cell& copy = keep(make_unset());
    object_copy(&o, &copy, false, nullptr);
    const Cell& m = field(copy, "m");
    ASSERT_TRUE(m.is(T_FUNCTION));
    EXPECT_NE(function_context(&m), function_context(&fn));   // a context of its own
    Cell copied_body = *function_more_cell(&m, MORE_BODY);
    EXPECT_EQ(block_rs_head(&copied_body)->data1, object_context(&copy));
    EXPECT_EQ(block_rs_head(&method_body)->data1, object_context(&o));

    Cell& bodyless_spec = keep(test::block({}));
    function_make(&bodyless_spec, nullptr, 0, 0);
    Cell& bodyless = keep(*stack_top());
    Cell& holder = constructed({sw("f"), bodyless});
    Cell& result = keep(make_unset());
    EXPECT_EQ(raised([&] { object_copy(&holder, &result, false, nullptr); }), Err::BadFuncDef);
}

TEST_F(Object, ReflectsItsParts) {
    Cell& o = constructed({sw("a"), w(T_WORD, "x"), sw("b"), make_integer(2)});
    struct Case { const char* field; const char* mold; };
    const Case cases[] = {
        {"words", "[a b]"},
        {"values", "[x 2]"},
        {"body", "[\n    a: 'x\n    b: 2\n]"},
        {"events?", "false"},
        {"owner", "false"},
    };
    for (const Case& c : cases) {
        Cell& r = keep(o);
        object_reflect(&r, symbol_make(c.field));
        EXPECT_EQ(molded(r), c.mold) << c.field;
    }
    Cell& cls = keep(o);
    object_reflect(&cls, symbol_make("class"));
    EXPECT_EQ(cell_integer(&cls), object_class_id(&o));
    Cell& other = keep(o);
    EXPECT_EQ(raised([&] { object_reflect(&other, symbol_make("spec")); }), Err::NotDone);
}

TEST_F(Object, MoldsOneFieldPerLine) {
    Cell& x = keep(test::block({w(T_WORD, "x")}));
    Cell& o = constructed({sw("a"), make_integer(1), sw("b"), x});
    EXPECT_EQ(molded(o), "make object! [\n    a: 1\n    b: [x]\n]");
    EXPECT_EQ(molded(o, true), "make object! [a: 1 b: [x]]");
    EXPECT_EQ(molded(o, false, true), "a: 1\nb: [x]");
    EXPECT_EQ(formed(o), "a: 1\nb: [x]");
    Cell& word_field = constructed({sw("w"), w(T_WORD, "hello")});
    EXPECT_EQ(molded(word_field), "make object! [\n    w: 'hello\n]");
    Cell& empty = constructed({});
    EXPECT_EQ(molded(empty), "make object! []");
    Cell& outer = constructed({sw("in"), o});
    EXPECT_EQ(molded(outer),
              "make object! [\n    in: make object! [\n        a: 1\n        b: [x]\n    ]\n]");
}

TEST_F(Object, MoldOfAnObjectHoldingItselfEnds) {
    Cell& o = constructed({sw("me"), make_none()});
    *object_value_at(object_context(&o), 0) = o;
    EXPECT_EQ(molded(o), "make object! [\n    me: make object! [...]\n]");
}

TEST_F(Object, ComparesByFields) {
    Cell& a = constructed({sw("x"), make_integer(1)});
    Cell& b = constructed({sw("x"), make_integer(1)});
    Cell& c = constructed({sw("x"), make_integer(2)});
    Cell& d = constructed({sw("x"), make_integer(1), sw("y"), make_integer(1)});
    EXPECT_TRUE(compare_truth(&a, &a, CMP_SAME));
    EXPECT_FALSE(compare_truth(&a, &b, CMP_SAME));
    EXPECT_TRUE(compare_truth(&a, &b, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&a, &c, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&a, &d, CMP_EQUAL));
    Cell& one = keep(make_integer(1));
    EXPECT_FALSE(compare_truth(&a, &one, CMP_EQUAL));
}

TEST_F(Object, PathAccessGetsSetsAndRefusesAbsentFields) {
    Cell& o = constructed({sw("x"), make_integer(1), sw("u"), make_unset()});
    EvalPathFn path = action_impl<A_EVAL_PATH>(T_OBJECT);
    Cell& x = keep(w(T_WORD, "X"));   // caseless
    Cell& got = keep(o);
    path(&got, PathStep{&x, nullptr, nullptr, nullptr, nullptr, 1, true, false, true});
    EXPECT_EQ(cell_integer(&got), 1);

    Cell& two = keep(make_integer(2));
    Cell& set = keep(o);
    path(&set, PathStep{&x, &two, nullptr, nullptr, nullptr, 1, true, false, true});
    EXPECT_EQ(cell_integer(&field(o, "x")), 2);
    EXPECT_TRUE(context_word_at(object_context(&o), 0)->header & CELL_OBJ_CHANGED);

    Cell& absent = keep(w(T_WORD, "nope"));
    Cell& u = keep(w(T_WORD, "u"));
    Cell& one = keep(make_integer(1));
    struct Case { const Cell* element; bool strict; Err err; };
    const Case cases[] = {
        {&absent, true, Err::InvalidPath}, {&absent, false, Err::UnsetPath},
        {&u, true, Err::InvalidPath},      {&one, true, Err::InvalidPath},
    };
    for (const Case& c : cases) {
        Cell& p = keep(o);
        EXPECT_EQ(raised([&] { path(&p, PathStep{c.element, nullptr, nullptr, nullptr, nullptr, 1, true, false, c.strict}); }),
                  c.err);
    }
}

TEST_F(Object, SelectPutAndModify) {
    Cell& o = constructed({sw("x"), make_integer(1)});
    Cell& key = keep(w(T_WORD, "x"));
    Cell& sel = keep(o);
    action_impl<A_SELECT>(T_OBJECT)(&sel, &key, FindOpts{});
    EXPECT_EQ(cell_integer(&sel), 1);
    Cell& missing = keep(w(T_WORD, "y"));
    Cell& none = keep(o);
    action_impl<A_SELECT>(T_OBJECT)(&none, &missing, FindOpts{});
    EXPECT_TRUE(none.is(T_NONE));
    Cell& number = keep(make_integer(1));
    Cell& s2 = keep(o);
    EXPECT_EQ(raised([&] { action_impl<A_SELECT>(T_OBJECT)(&s2, &number, FindOpts{}); }), Err::InvalidType);

    Cell& five = keep(make_integer(5));
    Cell& put = keep(o);
    action_impl<A_PUT>(T_OBJECT)(&put, &key, &five, false);
    EXPECT_EQ(cell_integer(&field(o, "x")), 5);
    Cell& sw_key = keep(sw("x"));
    Cell& p2 = keep(o);
    EXPECT_EQ(raised([&] { action_impl<A_PUT>(T_OBJECT)(&p2, &sw_key, &five, false); }), Err::InvalidKeyType);

    Cell& changed = keep(o);
    object_reflect(&changed, symbol_make("changed"));
    EXPECT_EQ(molded(changed), "[x]");
    Cell& changed_word = keep(w(T_WORD, "changed"));
    Cell& m = keep(o);
    action_impl<A_MODIFY>(T_OBJECT)(&m, &changed_word, &g_none_cell);
    Cell& after = keep(o);
    object_reflect(&after, symbol_make("changed"));
    EXPECT_EQ(molded(after), "[]");
    Cell& m2 = keep(o);
    EXPECT_EQ(raised([&] { action_impl<A_MODIFY>(T_OBJECT)(&m2, &changed_word, &five); }), Err::InvalidArg);
}

// ---- Change handlers --------------------------------------------------------------------------

// What the routine handlers below received, one line per call: their arguments molded.
std::vector<std::string> g_calls;

void record_args(uint32_t n) {
    std::string line;
    for (uint32_t i = 0; i < n; ++i) {
        Cell arg = *stack_arg(i);
        line += (i ? " " : "") + molded(arg, true);
    }
    g_calls.push_back(line);
}

// An object with fields a (1) and b (a block), and on-change* / on-deep-change* routines at the
// end, made in C++ and given its handlers by object_attach_handlers.
Cell& object_with_routines(bool change, bool deep) {
    uint32_t change_entry = routine_register("test-on-change", [](bool, const int32_t*) { record_args(3); });
    uint32_t deep_entry = routine_register("test-on-deep-change", [](bool, const int32_t*) { record_args(7); });
    Cell& change_spec = keep(test::block({w(T_WORD, "word"), w(T_WORD, "old"), w(T_WORD, "new")}));
    Cell& on_change = keep(*routine_make(&change_spec, nullptr, change_entry, -1));
    Cell& deep_spec = keep(test::block({w(T_WORD, "owner"), w(T_WORD, "word"), w(T_WORD, "target"),
                                        w(T_WORD, "action"), w(T_WORD, "new"), w(T_WORD, "index"),
                                        w(T_WORD, "part")}));
    Cell& on_deep = keep(*routine_make(&deep_spec, nullptr, deep_entry, -1));
    Cell& series = keep(test::block({make_integer(7)}));
    Cell& o = constructed({sw("a"), make_integer(1), sw("b"), series, sw("on-change*"), on_change,
                           sw("on-deep-change*"), on_deep});
    EXPECT_EQ(o.data3, 0u);   // construct without a prototype gives no record
    stack_push(o);
    Node record = object_attach_handlers(object_context(&o), change ? 2 : -1, 0, deep ? 3 : -1, 0);
    o = *stack_top();
    stack_pop();
    EXPECT_EQ(o.data3, record);
    EXPECT_EQ(context_owner(object_context(&o))->data3, record);   // owner cell in step
    return o;
}

void assign(const Cell& obj, const char* name, const Cell& value) {
    Cell& word = keep(Cell{T_WORD, object_context(&obj), symbol_make(name),
                           uint32_t(object_symbol_index(&obj, symbol_make(name)))});
    Cell& v = keep(value);
    word_set(&word, &v);
}

TEST_F(Object, RoutineHandlersAreCalledLikeFunctions) {
    g_calls.clear();
    Cell& o = object_with_routines(true, true);
    assign(o, "a", make_integer(2));
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0], "a 1 2");
    Cell& five = keep(make_integer(5));
    object_set_values(&o, &five, false, false, false);
    ASSERT_EQ(g_calls.size(), 3u);   // a and b; the handler slots are neither set nor reported
    EXPECT_EQ(g_calls[1], "a 2 5");
    EXPECT_EQ(g_calls[2], "b [7] 5");
    EXPECT_TRUE(field(o, "on-change*").is(T_ROUTINE));

    // the series held when the handlers were attached is owned: its edits reach on-deep-change*
    g_calls.clear();
    Cell& o2 = object_with_routines(false, true);
    Cell& blk = keep(field(o2, "b"));
    Cell& eight = keep(make_integer(8));
    action_impl<A_APPEND>(T_BLOCK)(&blk, &eight, -1, false, 1, true);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].substr(g_calls[0].find(" b ")), " b [7] append 8 1 1");
    EXPECT_EQ(g_calls[1].substr(g_calls[1].find(" b ")), " b [7 8] appended 8 1 1");
    assign(o2, "a", make_integer(3));   // no on-change* slot: nothing reported
    EXPECT_EQ(g_calls.size(), 2u);
}

TEST_F(Object, OwnerNotificationAndStackFormsCallOnChange) {
    g_calls.clear();
    Cell& o = object_with_routines(true, false);
    Cell& b = keep(w(T_WORD, "b"));
    object_notify_owner(&o, &b);   // the field's value is both old and new
    Cell& missing = keep(w(T_WORD, "zz"));
    object_notify_owner(&o, &missing);   // no such field: nothing
    // the stack forms: the last pushed value is the old one, the one below it the new one
    stack_push(make_integer(20));
    stack_push(make_integer(10));
    object_fire_on_change_stack(&o, &b);
    stack_pop(2);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0], "b [7] [7]");
    EXPECT_EQ(g_calls[1], "b 10 20");
}

TEST_F(Object, HandlerRecordsFollowTheHandlerWords) {
    Cell& o = object_with_routines(false, true);
    Node record = o.data3;
    EXPECT_EQ(node_series(record)->length(), 2u);
    EXPECT_EQ(node_series(record)->cell_at(0)->data2 >> 16, 0xFFFFu);   // no on-change* slot
    EXPECT_EQ(node_series(record)->cell_at(1)->data2 >> 16, 3u);
    EXPECT_TRUE(object_has_deep_handler(&o));
    Cell& events = keep(o);
    object_reflect(&events, symbol_make("events?"));
    EXPECT_TRUE(events.data1);
    Cell& owner = keep(o);
    object_reflect(&owner, symbol_make("owner"));
    EXPECT_TRUE(owner.data1);   // it owns its values

    // a copy builds its own record from its words
    Cell& copy = keep(make_unset());
    object_copy(&o, &copy, false, nullptr);
    ASSERT_NE(copy.data3, 0u);
    EXPECT_NE(copy.data3, record);
    EXPECT_EQ(node_series(copy.data3)->cell_at(0)->data2 >> 16, 2u);   // both words are there

    // a deep notification for an object without a record is refused
    Cell& plain = constructed({sw("a"), make_integer(1)});
    Cell& word = keep(w(T_WORD, "a"));
    Cell& action = keep(w(T_WORD, "append"));
    EXPECT_EQ(raised([&] {
                  object_fire_on_deep_change(&plain, &word, &plain, &action, nullptr, 0, 0);
              }),
              Err::InvalidObjEvt);
}

} // namespace
