// port!: an object whose actions are carried out by its scheme's actor.
//
// A port is an object cell of type port! whose context has the fields of system/standard/port:
// spec, scheme, actor, awake, state, data, extra (in that order). The datatype does no I/O itself:
// each series action and each port action applied to a port calls the function of the same name
// in the port's actor, with the port as its first argument followed by the action's own arguments
// and refinements in the order of the action's interface. A refinement goes as a logic! flag, and
// a refinement with a value as its flag followed by the value (none when it was not given); /part
// and /dup counts go as integers, a /dup count below 2 as absent.
//
// The actor's answer is the action's result. An actor without a function! of that name makes the
// action fail with access no-port-action naming the action; an actor that is not an object (a
// handle! passes make: no native scheme exists) fails with access invalid-port.
//
// read and write are composed here: read opens the port, takes a copy of it and closes it; write
// opens it, inserts the data, takes a copy and closes it. The port is closed also when the copy
// or the insert raises an error, which then passes on.
//
// make port! takes an object (used as the specification itself) or a spec for a copy of
// system/standard/url-parts; the spec's scheme word selects the scheme in system/schemes, whose
// actor goes into the port. Nothing is opened.
#include "core/context.h"
#include "core/cycles.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"

#include <cstring>
#include <initializer_list>

namespace kel {

namespace {

// Field indexes of a port's context.
constexpr uint32_t PORT_SPEC = 0, PORT_SCHEME = 1, PORT_ACTOR = 2;

// A global object's field (a field of system and so on), or null.
// The object is taken by value: making the symbol may allocate.
const Cell* field_of(const Cell* obj_in, const char* name) {
    if (!obj_in || !obj_in->is(T_OBJECT)) return nullptr;
    Cell obj = *obj_in;
    int32_t i = object_symbol_index(&obj, symbol_make(name));
    return i < 0 ? nullptr : object_value_at(object_context(&obj), uint32_t(i));
}

// system/<a>/<b>, or null when a step is missing.
const Cell* system_field(const char* a, const char* b) {
    int32_t i = context_find_word(g_global_context, symbol_make("system"), true);
    if (i < 0) return nullptr;
    const Cell* sys = context_value_at(g_global_context, uint32_t(i));
    const Cell* sub = field_of(sys, a);
    return b ? field_of(sub, b) : sub;
}

Cell global_word(const char* name) { return *context_global_word(symbol_make(name)); }

Cell flag(bool on) { return make_logic(on); }
Cell value_or_none(const Cell* v) { return v ? *v : make_none(); }
Cell count_or_none(int32_t n) { return n >= 0 ? make_integer(n) : make_none(); }

// The port's actor object; anything else in the actor field is invalid-port.
const Cell* port_actor(const Cell* port) {
    Node ctx = object_context(port);
    if (context_word_count(ctx) <= PORT_ACTOR) fire_error(Err::InvalidPort);
    const Cell* actor = object_value_at(ctx, PORT_ACTOR);
    if (!actor->is(T_OBJECT)) fire_error(Err::InvalidPort);
    return actor;
}

// Calls the actor's function `action` with the port followed by `extra`; the actor's answer
// replaces *result (a cell on the data stack or rooted). The values go into the function's frame
// as they are (nothing is evaluated again); its further arguments, refinements and locals get
// none (a refinement word false), and values beyond its words are dropped.
void forward(Cell* result, const Cell* port, const char* action, std::initializer_list<Cell> extra) {
    Cell* base = g_stack.top;
    uint32_t symbol = symbol_make(action);
    Cell word = *context_global_word(symbol);
    Cell* args = stack_push(*port);
    for (const Cell& c : extra) stack_push(c);
    uint32_t count = uint32_t(g_stack.top - args);
    const Cell* actor = port_actor(args);
    const Cell* found = object_get_field_sym(actor, symbol);
    if (!found->is(T_FUNCTION)) fire_error(Err::NoPortAction, &word);
    Cell* fn = stack_push(*found);   // keeps the function alive while it runs
    Node ctx = function_context(fn);
    uint32_t slots = context_word_count(ctx);
    stack_mark(&word, ctx);
    stack_set_interpreted();
    for (uint32_t i = 0; i < slots; ++i) {
        if (i < count) stack_push(args[i]);
        else stack_push(context_word_at(ctx, i)->is(T_REFINEMENT) ? make_logic(false) : make_none());
    }
    Cell f = *fn;
    call_function(&f, 0, &word, 0);
    stack_unwind_restore();
    *result = *stack_top();
    g_stack.top = base;
}

// The same for actions whose result stays on the data stack of the caller: a scratch cell
// receives the answer.
Cell forward_value(const Cell* port, const char* action, std::initializer_list<Cell> extra) {
    Cell* scratch = stack_push(g_none_cell);
    forward(scratch, port, action, extra);
    Cell answer = *scratch;
    stack_pop();
    return answer;
}

// ---- make, form, mold ------------------------------------------------------------------------------

void port_make(Cell* proto, Cell* spec_in, TypeId) {
    Cell* base = g_stack.top;
    Cell* spec = stack_push(*spec_in);
    // the specification: an object as it is, else url-parts made with the spec
    Cell* parts = stack_push(*spec);
    if (!spec->is(T_OBJECT)) {
        const Cell* proto_parts = system_field("standard", "url-parts");
        if (!proto_parts || !proto_parts->is(T_OBJECT)) fire_error(Err::NoScheme, spec);
        *parts = *proto_parts;
        object_make(parts, spec);
    }
    const Cell* scheme = field_of(parts, "scheme");
    if (!scheme || !scheme->is(T_WORD)) fire_error(Err::NoScheme, spec);
    Cell* scheme_word = stack_push(*scheme);

    const Cell* proto_port = system_field("standard", "port");
    if (!proto_port || !proto_port->is(T_OBJECT) || object_word_count(proto_port) <= PORT_ACTOR)
        fire_error(Err::InvalidPort);
    Cell* port = stack_push(*proto_port);
    object_copy(port, port, false, nullptr);
    set_cell_type(port, T_PORT);
    Node ctx = object_context(port);
    set_cell_type(context_owner(ctx), T_PORT);
    *object_value_at(ctx, PORT_SPEC) = *parts;
    *object_value_at(ctx, PORT_SCHEME) = *scheme_word;

    const Cell* schemes = system_field("schemes", nullptr);
    const Cell* found = schemes && schemes->is(T_OBJECT) ? object_get_field(schemes, scheme_word) : nullptr;
    if (!found || !found->is(T_OBJECT)) fire_error(Err::UnknownScheme, spec);
    Cell* scheme_obj = stack_push(*found);
    const Cell* actor = field_of(scheme_obj, "actor");
    if (!actor || !(actor->is(T_OBJECT) || actor->is(T_HANDLE))) fire_error(Err::InvalidActor, spec);
    *object_value_at(ctx, PORT_ACTOR) = *actor;

    *proto = *port;
    g_stack.top = base;
}

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

int32_t port_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                  int32_t budget, int32_t level) {
    if (cycles_find(object_context(value))) return append_text(buffer, "make port! [...]", budget);
    CollectorHold hold;   // the port cell below stays valid while text is appended
    Cell port = *value;
    budget = append_text(buffer, "make port! [", budget);
    budget = object_mold_fields(&port, buffer, only, all, flat, part, budget, true, level + 1, true);
    if (!flat && level >= 1 && object_word_count(&port) > 0)
        for (int32_t i = 0; i < level; ++i) budget = append_text(buffer, "    ", budget);
    return append_text(buffer, "]", budget);
}

int32_t port_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return port_mold(value, buffer, false, false, false, part, budget, 0);
}

// ---- Forwarded series actions ----------------------------------------------------------------------

template <Action A> struct Word;
#define KEL_PORT_WORD(a, w) template <> struct Word<a> { static constexpr const char* name = w; };
KEL_PORT_WORD(A_BACK, "back") KEL_PORT_WORD(A_CLEAR, "clear") KEL_PORT_WORD(A_HEAD, "head")
KEL_PORT_WORD(A_HEAD_Q, "head?") KEL_PORT_WORD(A_INDEX_Q, "index?") KEL_PORT_WORD(A_NEXT, "next")
KEL_PORT_WORD(A_TAIL, "tail") KEL_PORT_WORD(A_TAIL_Q, "tail?") KEL_PORT_WORD(A_AT, "at")
KEL_PORT_WORD(A_SKIP, "skip") KEL_PORT_WORD(A_CREATE, "create") KEL_PORT_WORD(A_CLOSE, "close")
KEL_PORT_WORD(A_DELETE, "delete") KEL_PORT_WORD(A_QUERY, "query") KEL_PORT_WORD(A_UPDATE, "update")
#undef KEL_PORT_WORD

template <Action A>
void port_unary(Cell* port) { forward(port, port, Word<A>::name, {}); }

template <Action A>
void port_offset(Cell* port, const Cell* offset) { forward(port, port, Word<A>::name, {*offset}); }

template <Action A>
void port_plain(Cell* port, const Cell*, const PortOpts&) { forward(port, port, Word<A>::name, {}); }

// /dup counts below 2 go as absent.
Cell dup_or_none(int32_t dup) { return dup >= 2 ? make_integer(dup) : make_none(); }

void port_insert(Cell* port, const Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    forward(port, port, append ? "append" : "insert",
            {*value, flag(part >= 0), count_or_none(part), flag(only), flag(dup >= 2), dup_or_none(dup)});
}

void port_change(Cell* port, const Cell* value, int32_t part, bool only, int32_t dup) {
    forward(port, port, "change",
            {*value, flag(part >= 0), count_or_none(part), flag(only), flag(dup >= 2), dup_or_none(dup)});
}

void port_copy(Cell* port, Cell* result, const Cell* part, bool deep, const Cell* types) {
    forward(result, port, "copy",
            {flag(part), value_or_none(part), flag(deep), flag(types), value_or_none(types)});
}

void port_find(Cell* port, const Cell* value, const FindOpts& o) {
    forward(port, port, "find",
            {*value, flag(o.part), value_or_none(o.part), flag(o.only), flag(o.case_), flag(o.same),
             flag(o.any), flag(o.with), value_or_none(o.with), flag(o.skip), value_or_none(o.skip),
             flag(o.last), flag(o.reverse), flag(o.tail), flag(o.match)});
}

void port_select(Cell* port, const Cell* value, const FindOpts& o) {
    forward(port, port, "select",
            {*value, flag(o.part), value_or_none(o.part), flag(o.only), flag(o.case_), flag(o.same),
             flag(o.any), flag(o.with), value_or_none(o.with), flag(o.skip), value_or_none(o.skip),
             flag(o.last), flag(o.reverse)});
}

// length? answers the integer the actor gives; anything else gives none.
int32_t port_length(const Cell* port) {
    Cell answer = forward_value(port, "length?", {});
    return answer.is(T_INTEGER) ? integer_get_cell(&answer) : -1;
}

void port_move(Cell* port, Cell* target, const Cell* part) {
    forward(port, port, "move", {*target, flag(part), value_or_none(part)});
}

void port_pick(Cell* port, int32_t, const Cell* index) { forward(port, port, "pick", {*index}); }

void port_poke(Cell* port, int32_t index, const Cell* value) {
    forward(port, port, "poke", {make_integer(index), *value});
}

void port_put(Cell* port, const Cell* key, const Cell* value, bool case_) {
    forward(port, port, "put", {*key, *value, flag(case_)});
}

void port_remove(Cell* port, const Cell* part, const Cell*) {
    forward(port, port, "remove", {flag(part), value_or_none(part)});
}

void port_reverse(Cell* port, const Cell* part, const Cell*) {
    forward(port, port, "reverse", {flag(part), value_or_none(part)});
}

void port_sort(Cell* port, const SortOpts& o) {
    forward(port, port, "sort",
            {flag(o.case_), flag(o.skip), value_or_none(o.skip), flag(o.compare),
             value_or_none(o.compare), flag(o.part), value_or_none(o.part), flag(o.all),
             flag(o.reverse), flag(o.stable)});
}

void port_swap(Cell* port, Cell* other) { forward(port, port, "swap", {*other}); }

void port_take(Cell* port, const Cell* part, bool deep, bool last) {
    forward(port, port, "take", {flag(part), value_or_none(part), flag(deep), flag(last)});
}

void port_trim(Cell* port, const TrimOpts& o) {
    forward(port, port, "trim",
            {flag(o.head), flag(o.tail), flag(o.auto_), flag(o.lines), flag(o.all), flag(o.with),
             value_or_none(o.with)});
}

// The action's /case flag does not reach this entry: it goes as false.
void port_modify(Cell* port, const Cell* field, const Cell* value) {
    forward(port, port, "modify", {*field, *value, flag(false)});
}

// ---- Port actions --------------------------------------------------------------------------------

// open sends its refinements in interface order: /new /read /write /seek index /allow access.
void open_forward(Cell* result, const Cell* port, bool new_, bool read, bool write, const Cell* seek,
                  const Cell* allow) {
    forward(result, port, "open",
            {flag(new_), flag(read), flag(write), flag(seek), value_or_none(seek), flag(allow),
             value_or_none(allow)});
}

void port_open(Cell* port, const Cell*, const PortOpts& o) {
    open_forward(port, port, o.new_, o.read, o.write, o.seek, o.allow);
}

void port_rename(Cell* port, const Cell* target, const PortOpts&) {
    forward(port, port, "rename", {*target});
}

// Runs body; when it raises an error the port is closed and the error passes on.
template <class Body>
void closing_on_error(const Cell* port, Body&& body) {
    Cell* base = g_stack.top;
    Cell word = global_word("close");
    if (stack_try(&word, false, body)) {
        g_stack.top = base;
        return;
    }
    Rooted error(*stack_top());
    g_stack.top = base;
    forward_value(port, "close", {});
    throw_error(error.get());
}

// read: open (as for reading, with read's /seek), copy (with read's /part), close.
void port_read(Cell* port_in, const Cell*, const PortOpts& o) {
    Cell* base = g_stack.top;
    Cell* port = stack_push(*port_in);
    Cell* part = stack_push(value_or_none(o.part));
    Cell* seek = stack_push(value_or_none(o.seek));
    Cell* result = stack_push(g_none_cell);
    open_forward(result, port, false, true, false, o.seek ? seek : nullptr, nullptr);
    closing_on_error(port, [&] {
        forward(result, port, "copy", {flag(o.part), *part, flag(false), flag(false), make_none()});
    });
    forward_value(port, "close", {});
    *port_in = *result;
    g_stack.top = base;
}

// write: open for writing (with write's /seek and /allow), insert the data (with write's /part),
// copy, close.
void port_write(Cell* port_in, const Cell* data, const PortOpts& o) {
    Cell* base = g_stack.top;
    Cell* port = stack_push(*port_in);
    Cell* value = stack_push(*data);
    Cell* part = stack_push(value_or_none(o.part));
    Cell* seek = stack_push(value_or_none(o.seek));
    Cell* allow = stack_push(value_or_none(o.allow));
    Cell* result = stack_push(g_none_cell);
    open_forward(result, port, false, false, true, o.seek ? seek : nullptr, o.allow ? allow : nullptr);
    closing_on_error(port, [&] {
        forward(result, port, "insert",
                {*value, flag(o.part), *part, flag(false), flag(false), make_none()});
        forward(result, port, "copy", {flag(false), make_none(), flag(false), flag(false), make_none()});
    });
    forward_value(port, "close", {});
    *port_in = *result;
    g_stack.top = base;
}

} // namespace

void port_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, port_make);
    set_entry<A_FORM>(e, port_form);
    set_entry<A_MOLD>(e, port_mold);
    for (Action a : {A_REFLECT, A_EVAL_PATH, A_COMPARE}) e[a - 1] = INHERIT;

    set_entry<A_APPEND>(e, port_insert);
    set_entry<A_INSERT>(e, port_insert);
    set_entry<A_AT>(e, port_offset<A_AT>);
    set_entry<A_SKIP>(e, port_offset<A_SKIP>);
    set_entry<A_BACK>(e, port_unary<A_BACK>);
    set_entry<A_CLEAR>(e, port_unary<A_CLEAR>);
    set_entry<A_HEAD>(e, port_unary<A_HEAD>);
    set_entry<A_HEAD_Q>(e, port_unary<A_HEAD_Q>);
    set_entry<A_INDEX_Q>(e, port_unary<A_INDEX_Q>);
    set_entry<A_NEXT>(e, port_unary<A_NEXT>);
    set_entry<A_TAIL>(e, port_unary<A_TAIL>);
    set_entry<A_TAIL_Q>(e, port_unary<A_TAIL_Q>);
    set_entry<A_CHANGE>(e, port_change);
    set_entry<A_COPY>(e, port_copy);
    set_entry<A_FIND>(e, port_find);
    set_entry<A_SELECT>(e, port_select);
    set_entry<A_LENGTH_Q>(e, port_length);
    set_entry<A_MOVE>(e, port_move);
    set_entry<A_PICK>(e, port_pick);
    set_entry<A_POKE>(e, port_poke);
    set_entry<A_PUT>(e, port_put);
    set_entry<A_REMOVE>(e, port_remove);
    set_entry<A_REVERSE>(e, port_reverse);
    set_entry<A_SORT>(e, port_sort);
    set_entry<A_SWAP>(e, port_swap);
    set_entry<A_TAKE>(e, port_take);
    set_entry<A_TRIM>(e, port_trim);

    set_entry<A_CREATE>(e, port_plain<A_CREATE>);
    set_entry<A_CLOSE>(e, port_plain<A_CLOSE>);
    set_entry<A_DELETE>(e, port_plain<A_DELETE>);
    set_entry<A_QUERY>(e, port_plain<A_QUERY>);
    set_entry<A_UPDATE>(e, port_plain<A_UPDATE>);
    set_entry<A_MODIFY>(e, port_modify);
    set_entry<A_OPEN>(e, port_open);
    set_entry<A_READ>(e, port_read);
    set_entry<A_RENAME>(e, port_rename);
    set_entry<A_WRITE>(e, port_write);
    register_datatype(T_PORT, T_OBJECT, "port!", e);
}

} // namespace kel
