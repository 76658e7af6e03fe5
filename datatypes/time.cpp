// time!: a signed duration in seconds, held as a double exactly like float! (its parent).
//
// Text is "h:mm:ss" with the seconds at up to six significant digits; the seconds are rounded to
// the shown digits before the text is made, and a rounding up to 60 carries into the minutes and
// hours. Fields 1-3 (hour, minute, second) are read and set by path or pick; a set through a
// path writes the changed time back to the word or container that held it. Arithmetic goes
// through the float arithmetic, which keeps the time type; time / time is their ratio.
#include "core/context.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/date.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kel {

Cell* time_make_at(double seconds, Cell* c) {
    init_cell(c, T_TIME);
    c->put_float(seconds);
    return c;
}
Cell* time_make_in(const Cell* block, double seconds) {
    return block_append(series_node(block), make_time(seconds));
}
Cell* time_push(double seconds) { return stack_push(make_time(seconds)); }

double time_get_hours(double seconds) { return std::trunc(seconds / 3600.0); }
double time_get_minutes(double seconds) {
    return std::floor(std::fmod(std::fabs(seconds), 3600.0) / 60.0);
}

int32_t time_field_index(const Cell* word) {
    static uint32_t symbols[3];
    if (!symbols[0]) {
        symbols[0] = symbol_resolve(symbol_make("hour"));
        symbols[1] = symbol_resolve(symbol_make("minute"));
        symbols[2] = symbol_resolve(symbol_make("second"));
    }
    uint32_t s = symbol_resolve(word->data2);
    for (int i = 0; i < 3; ++i)
        if (symbols[i] == s) return i + 1;
    return -1;
}

Cell* time_get_field(const Cell* time, int32_t index) {
    double t = time->get_float();
    switch (index) {
    case 1: return integer_push(float_trunc_checked(time_get_hours(t)));
    case 2: return integer_push(int32_t(time_get_minutes(t)));
    default: return float_push(std::fmod(t, 60.0));
    }
}

int32_t time_form_text(double seconds, Cell* buffer, int32_t budget) {
    // an infinite or NaN duration (from float arithmetic) has no fields: its number is shown
    if (!std::isfinite(seconds)) return scalar_emit(buffer, float_format(seconds, FK_FLOAT), budget);
    bool negative = seconds < 0;
    double t = std::fabs(seconds);
    double hours = std::floor(t / 3600.0);
    double minutes = std::floor(std::fmod(t, 3600.0) / 60.0);
    double s = std::fmod(t, 60.0);
    char sec[40] = "00";
    if (s >= 1e-6) {
        const char* text = float_format(s, FK_TIME);
        if (std::strtod(text, nullptr) >= 60.0) {   // rounded up to a whole minute: carry
            if (++minutes == 60.0) {
                minutes = 0.0;
                hours += 1.0;
            }
        } else if (std::strlen(text) == 1 || text[1] == '.') {
            std::snprintf(sec, sizeof sec, "0%s", text);
        } else {
            std::snprintf(sec, sizeof sec, "%s", text);
        }
    }
    char out[400];
    std::snprintf(out, sizeof out, "%s%.0f:%02d:%s", negative ? "-" : "", hours, int(minutes), sec);
    return scalar_emit(buffer, out, budget);
}

void time_fire_bad_to_arg(const Cell* value) { fire_bad_to_arg(T_TIME, value); }

// The one value the text loads as; text the lexer refuses gives none (other errors pass on).
Cell scalar_load_one_value(const Cell* text) {
    Cell word = *context_global_word(symbol_make("to"));
    Cell* base = g_stack.top;
    Cell value = g_none_cell;
    bool loaded = stack_try(&word, false, [&] {
        Cell* result = stack_push(g_unset_cell);
        LexerCall call;
        call.flags = LEX_ONE;
        lexer_load_string(result, text, -1, call);
        value = *result;
    });
    if (!loaded && error_def(error_id_of(stack_top())).category != ErrCat::Syntax)
        throw_error(stack_top());
    g_stack.top = base;
    return value;
}

// ---- make and to ------------------------------------------------------------------------------------

static void time_make(Cell* proto, Cell* spec, TypeId) {
    double seconds = 0.0;
    switch (spec->type()) {
    case T_TIME: case T_FLOAT: case T_PERCENT: seconds = spec->get_float(); break;
    case T_INTEGER: seconds = integer_get_cell(spec); break;
    case T_BLOCK: case T_PAREN: case T_HASH: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        uint32_t n = s->length() > index ? s->length() - index : 0;
        if (n > 3) time_fire_bad_to_arg(spec);
        bool negative = false;
        static const double k_scale[] = {3600.0, 60.0, 1.0};
        for (uint32_t i = 0; i < n; ++i) {
            const Cell* c = s->cell_at(index + i);
            double v;
            if (c->is(T_INTEGER)) v = integer_get_cell(c);
            else if (c->is(T_FLOAT) && i == 2) v = c->get_float();
            else time_fire_bad_to_arg(spec);
            if (v < 0) {
                if (i > 0) time_fire_bad_to_arg(spec);
                negative = true;
                v = -v;
            }
            seconds += v * k_scale[i];
        }
        if (negative) seconds = -seconds;
        break;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
        Cell v = scalar_load_one_value(spec);
        if (!v.is(T_TIME)) time_fire_bad_to_arg(spec);
        seconds = v.get_float();
        break;
    }
    default:
        time_fire_bad_to_arg(spec);
    }
    time_make_at(seconds, proto);
}

// ---- form, mold ---------------------------------------------------------------------------------------

static int32_t time_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    return time_form_text(value->get_float(), buffer, budget);
}
static int32_t time_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool, int32_t budget,
                         int32_t) {
    return time_form_text(value->get_float(), buffer, budget);
}

// ---- fields -------------------------------------------------------------------------------------------

static int32_t selector_index(const Cell* selector) {
    if (selector->is(T_INTEGER)) {
        int32_t i = integer_get_cell(selector);
        return i >= 1 && i <= 3 ? i : -1;
    }
    if (is_any_word(selector->type())) return time_field_index(selector);
    return -1;
}

// The seconds after setting field `index` to the number in `value`.
static double time_with_field(double t, int32_t index, const Cell* value) {
    bool ok = value->is(T_INTEGER) || (index == 3 && value->is(T_FLOAT));
    if (!ok) fire_error(Err::InvalidArg, value);
    double v = value->is(T_INTEGER) ? double(integer_get_cell(value)) : value->get_float();
    switch (index) {
    case 1: return t - (std::floor(t / 3600.0) - v) * 3600.0;
    case 2: return t - (std::floor(std::fmod(t, 3600.0) / 60.0) - v) * 60.0;
    default: return t - (std::fmod(t, 60.0) - v);
    }
}

static void time_eval_path(Cell* parent, const PathStep& step) {
    int32_t index = selector_index(step.element);
    if (index < 0) {
        Cell path = step.path ? *step.path : g_none_cell;
        fire_error(Err::InvalidPath, &path, step.element);
    }
    if (!step.value) {
        Cell* field = time_get_field(parent, index);
        *parent = *field;
        stack_pop();
        return;
    }
    // set: the changed time goes back to where the time came from
    scalar_path_write_back(parent, step, make_time(time_with_field(parent->get_float(), index, step.value)));
}

void scalar_path_write_back(Cell* parent, const PathStep& step, const Cell& changed_value) {
    Cell* changed = stack_push(changed_value);
    Cell* assigned = stack_push(*step.value);
    if (step.prev_container && !step.prev_container->is(T_NONE)) {
        Cell* container = stack_push(*step.prev_container);
        PathStep back{step.prev_element, changed, nullptr, nullptr, nullptr, step.position - 1,
                      true, step.case_, step.strict};
        eval_path_typed(container, back);
    } else if (step.prev_element && is_any_word(step.prev_element->type())) {
        Cell word = *step.prev_element;
        word_set(&word, changed);
    }
    *parent = *assigned;
    g_stack.top = changed;
}

static void time_pick(Cell* value, int32_t index, const Cell* index_value) {
    int32_t field;
    if (index_value && is_any_word(index_value->type())) {
        field = time_field_index(index_value);
        if (field < 0) fire_error(Err::CannotUse, index_value, value);
    } else {
        if (index < 1 || index > 3) {
            Cell i = make_integer(index);
            fire_error(Err::OutOfRange, index_value ? index_value : &i);
        }
        field = index;
    }
    Cell* f = time_get_field(value, field);
    *value = *f;
    stack_pop();
}

// ---- arithmetic ----------------------------------------------------------------------------------------

static void time_add(Cell* left, Cell* right) {
    if (right->is(T_DATE)) {   // time + date is the date that much later
        Cell date = *right;
        date_math(&date, left, false);
        *left = date;
        return;
    }
    float_do_math_values(left, right, OP_ADD);
}

static void time_subtract(Cell* left, Cell* right) {
    if (right->is(T_DATE)) fire_not_related("subtract", T_TIME);
    float_do_math_values(left, right, OP_SUBTRACT);
}

static void time_multiply(Cell* left, Cell* right) {
    if (right->is(T_TIME)) fire_not_related("multiply", T_TIME);
    float_do_math_values(left, right, OP_MULTIPLY);
}

static void time_divide(Cell* left, Cell* right) {
    if (right->is(T_TIME)) {
        float_make_at(left, left->get_float() / right->get_float());
        return;
    }
    float_do_math_values(left, right, OP_DIVIDE);
}

static void time_round(Cell* value, const RoundOpts& o) {
    if (o.to && o.to->is(T_MONEY)) fire_not_related("round", T_MONEY);
    float_round(value, o);
    double seconds = value->is(T_INTEGER) ? double(integer_get_cell(value)) : value->get_float();
    time_make_at(seconds, value);
}

static bool time_odd(const Cell* v) {
    double t = v->get_float();
    t += t >= 0 ? 1e-6 : -1e-6;
    return std::fmod(std::trunc(std::fmod(t, 60.0)), 2.0) != 0.0;
}
static bool time_even(const Cell* v) { return !time_odd(v); }

void time_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    for (Action a : {A_RANDOM, A_COMPARE, A_ABSOLUTE, A_NEGATE, A_REMAINDER}) e[a - 1] = INHERIT;
    set_entry<A_MAKE>(e, time_make);
    set_entry<A_TO>(e, time_make);
    set_entry<A_FORM>(e, time_form);
    set_entry<A_MOLD>(e, time_mold);
    set_entry<A_EVAL_PATH>(e, time_eval_path);
    set_entry<A_ADD>(e, time_add);
    set_entry<A_DIVIDE>(e, time_divide);
    set_entry<A_MULTIPLY>(e, time_multiply);
    set_entry<A_ROUND>(e, time_round);
    set_entry<A_SUBTRACT>(e, time_subtract);
    set_entry<A_EVEN_Q>(e, time_even);
    set_entry<A_ODD_Q>(e, time_odd);
    set_entry<A_PICK>(e, time_pick);
    register_datatype(T_TIME, T_FLOAT, "time!", e);
}

} // namespace kel
