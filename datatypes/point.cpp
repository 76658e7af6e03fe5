// point2D! and point3D!: points of single-precision coordinates, written (1.5, 2) and (1, 2, 3).
//
// Both types are one pattern over a coordinate count (2 or 3): every computation is done in double
// and stored back as float32, rounding to the nearest. Text shows each coordinate with 7
// significant digits, so float32 noise never shows. Equality is the float32 near-equality on every
// coordinate; strict equality is exact, same? compares the bits. A point2D! meets pair! operands
// (arithmetic and comparison convert the pair); a point3D! meets only numbers and point3D!.
#include "datatypes/compound.h"

#include "core/errors.h"
#include "core/hash.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"

#include <cmath>

namespace kel {

namespace {

int coord_count(TypeId t) { return t == T_POINT3D ? 3 : 2; }
int coord_count(const Cell* c) { return coord_count(c->type()); }

void set_coord(Cell* c, int n, double v) { (&c->data1)[n] = float32_bits(float(v)); }

// A point of the type with every coordinate given (a third is ignored for point2D!).
Cell make_point(TypeId t, double x, double y, double z) {
    return t == T_POINT3D ? make_point3d(float(x), float(y), float(z)) : make_point2d(float(x), float(y));
}

double number_value(const Cell* c) {
    return c->is(T_INTEGER) || c->is(T_CHAR) ? double(integer_get_cell(c)) : c->get_float();
}

} // namespace

// ---- Constructors ------------------------------------------------------------------------------

Cell* point2d_set(Cell* c, float x, float y) { *c = make_point2d(x, y); return c; }
Cell* point3d_set(Cell* c, float x, float y, float z) { *c = make_point3d(x, y, z); return c; }
Cell* point2d_push(float x, float y) { return stack_push(make_point2d(x, y)); }
Cell* point3d_push(float x, float y, float z) { return stack_push(make_point3d(x, y, z)); }
Cell* point2d_make_in(const Cell* block, float x, float y) {
    return block_append(series_node(block), make_point2d(x, y));
}
Cell* point3d_make_in(const Cell* block, float x, float y, float z) {
    return block_append(series_node(block), make_point3d(x, y, z));
}

// ---- Arithmetic --------------------------------------------------------------------------------------

static void point_do_math(Cell* left, const Cell* right, int32_t op) {
    TypeId t = left->type();
    int n = coord_count(t);
    if (op > OP_REMAINDER) {
        Cell action = stack_caller_word(0);
        Cell type = make_datatype(t);
        fire_error(Err::CannotUse, &action, &type);
    }
    double c[3], r[3];
    for (int i = 0; i < n; ++i) c[i] = point_coord(left, i);
    switch (right->type()) {
    case T_INTEGER: case T_CHAR: {
        double v = double(integer_get_cell(right));
        for (int i = 0; i < n; ++i) r[i] = float_do_math(c[i], v, op);
        break;
    }
    case T_FLOAT: case T_PERCENT: {
        double f = right->get_float();
        for (int i = 0; i < n; ++i) {
            if (op == OP_MULTIPLY) r[i] = c[i] * f;
            else if (op == OP_DIVIDE) r[i] = c[i] / f;
            else r[i] = float_do_math(c[i], f, op);
        }
        break;
    }
    case T_PAIR:
        if (t != T_POINT2D) fire_invalid_type(right);
        r[0] = float_do_math(c[0], double(pair_x(right)), op);
        r[1] = float_do_math(c[1], double(pair_y(right)), op);
        break;
    default:
        if (right->type() != t) fire_invalid_type(right);
        for (int i = 0; i < n; ++i) r[i] = float_do_math(c[i], point_coord(right, i), op);
        break;
    }
    for (int i = 0; i < n; ++i) set_coord(left, i, r[i]);
}

void point2d_do_math(Cell* left, const Cell* right, int32_t op) { point_do_math(left, right, op); }
void point3d_do_math(Cell* left, const Cell* right, int32_t op) { point_do_math(left, right, op); }

template <int Op>
static void point_math(Cell* left, Cell* right) { point_do_math(left, right, Op); }

static void point_absolute(Cell* v) {
    for (int i = 0; i < coord_count(v); ++i) set_coord(v, i, std::fabs(point_coord(v, i)));
}

static void point_negate(Cell* v) { compound_negate(v); }

// ---- Make, to, text ------------------------------------------------------------------------------

static void point_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = type == T_POINT3D ? T_POINT3D : T_POINT2D;
    int n = coord_count(t);
    switch (spec->type()) {
    case T_BLOCK: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        if (s->length() < index + uint32_t(n)) fire_error(Err::Malconstruct, spec);
        double c[3] = {0, 0, 0};
        for (int i = 0; i < n; ++i) {
            const Cell* item = s->cell_at(index + uint32_t(i));
            if (!item->is(T_INTEGER) && !item->is(T_FLOAT)) fire_error(Err::Malconstruct, spec);
            c[i] = number_value(item);
        }
        *proto = make_point(t, c[0], c[1], c[2]);
        return;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
        Cell v = scalar_load_one_value(spec);
        if (!v.is(t)) fire_bad_to_arg(t, spec);
        *proto = v;
        proto->header &= CELL_TYPE_MASK;
        return;
    }
    case T_INTEGER: case T_FLOAT: case T_PERCENT: {
        double v = number_value(spec);
        *proto = make_point(t, v, v, v);
        return;
    }
    case T_PAIR:
        *proto = make_point(t, pair_x(spec), pair_y(spec), 0.0);
        return;
    case T_POINT2D:
        *proto = make_point(t, point_coord(spec, 0), point_coord(spec, 1), 0.0);
        return;
    case T_POINT3D:
        if (t == T_POINT3D) {
            *proto = *spec;
            proto->header &= CELL_TYPE_MASK;
            return;
        }
        [[fallthrough]];
    default:
        fire_bad_to_arg(t, spec);
    }
}

static int32_t point_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    budget = scalar_emit(buffer, "(", budget);
    for (int i = 0; i < coord_count(value); ++i) {
        if (i) budget = scalar_emit(buffer, ", ", budget);
        budget = scalar_emit(buffer, float_format(point_coord(value, i), FK_POINT), budget);
    }
    return scalar_emit(buffer, ")", budget);
}

static int32_t point_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part,
                          int32_t budget, int32_t) {
    return point_form(value, buffer, part, budget);
}

// ---- Compare, random, round -----------------------------------------------------------------------

int32_t point2d_compare(const Cell* a, const Cell* b, int32_t op) {
    Cell other = *b;
    if (a->is(T_POINT2D) && other.is(T_PAIR)) {
        if (op == CMP_STRICT_EQUAL || op == CMP_SAME || op == CMP_SEARCH) return 1;
        pair_to_point2d(&other);
    }
    if (other.type() != a->type()) return CMP_NOT_COMPARABLE;
    int n = coord_count(a);
    switch (op) {
    case CMP_STRICT_EQUAL:
        for (int i = 0; i < n; ++i)
            if (!(point_coord(a, i) == point_coord(&other, i))) return 1;
        return 0;
    case CMP_SAME:
        for (int i = 0; i < n; ++i)
            if ((&a->data1)[i] != (&other.data1)[i]) return 1;
        return 0;
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_FIND: case CMP_STRICT_WORD: case CMP_SEARCH:
        for (int i = 0; i < n; ++i)
            if (!float32_almost_equal(point_coord(a, i), point_coord(&other, i))) return 1;
        return 0;
    default:
        break;
    }
    // ordering: the first coordinate whose difference is not near zero decides
    for (int i = 0; i < n; ++i) {
        float x = point_coord(a, i), y = point_coord(&other, i);
        if (float32_almost_equal(x, y)) continue;
        double d = double(x) - double(y);
        return d < 0.0 ? -1 : d > 0.0 ? 1 : 0;
    }
    return 0;
}

static void point_random(Cell* value, bool seed, bool secure, bool) {
    int n = coord_count(value);
    if (seed) {
        random_seed(murmur3_bytes(&value->data1, size_t(n) * 4));
        *value = g_unset_cell;
        return;
    }
    for (int i = 0; i < n; ++i) {
        double c = point_coord(value, i);
        if (c != 0.0) set_coord(value, i, float_random_scaled(c, secure));
    }
}

// One coordinate rounded as a float with the given scale (an integer scale is used as a float, so
// the coordinate stays a float whatever its size).
static double point_round_coord(double c, const Cell* scale, const RoundOpts& opts) {
    RoundOpts o = opts;
    Cell s;
    if (scale && (scale->is(T_INTEGER) || scale->is(T_CHAR))) {
        s = make_float(double(integer_get_cell(scale)));
        scale = &s;
    }
    o.to = scale;
    Cell v = make_float(c);
    float_round(&v, o);
    return v.is(T_INTEGER) ? double(integer_get_cell(&v)) : v.get_float();
}

static void point_round(Cell* value, const RoundOpts& opts) {
    if (opts.to && opts.to->is(T_MONEY)) fire_not_related("round", T_MONEY);
    int n = coord_count(value);
    Cell scales[3];
    const Cell* scale[3] = {opts.to, opts.to, opts.to};
    if (opts.to) {
        TypeId st = opts.to->type();
        bool per_coord = st == value->type() || (st == T_PAIR && n == 2) ||
                         (st == T_POINT2D && n == 3);
        if (per_coord) {
            for (int i = 0; i < n; ++i) {
                if (st == T_PAIR) scales[i] = make_integer(i == 0 ? pair_x(opts.to) : pair_y(opts.to));
                else if (i < coord_count(st)) scales[i] = make_float(point_coord(opts.to, i));
                scale[i] = i < coord_count(st) ? &scales[i] : nullptr;
            }
        } else if (st != T_INTEGER && st != T_FLOAT && st != T_PERCENT && st != T_TIME) {
            fire_expect_arg(opts.to, 1);
        }
    }
    for (int i = 0; i < n; ++i) set_coord(value, i, point_round_coord(point_coord(value, i), scale[i], opts));
}

// ---- Fields ----------------------------------------------------------------------------------------

static void point_eval_path(Cell* parent, const PathStep& step) {
    int n = coord_count(parent);
    int32_t field = compound_field(step.element, n);
    if (field == 0) compound_bad_field(parent, step);
    if (!step.value) {
        *parent = make_float(point_coord(parent, field - 1));
        return;
    }
    if (!step.value->is(T_INTEGER) && !step.value->is(T_FLOAT)) fire_invalid_type(step.value);
    Cell changed = *parent;
    changed.header &= CELL_TYPE_MASK;
    set_coord(&changed, field - 1, number_value(step.value));
    scalar_path_write_back(parent, step, changed);
}

static void point_pick(Cell* value, int32_t index, const Cell* index_value) {
    int n = coord_count(value);
    int32_t field = index_value && is_any_word(index_value->type())
                        ? compound_field(index_value, n)
                        : (index >= 1 && index <= n ? index : 0);
    if (field == 0) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, index_value ? index_value : &i);
    }
    *value = make_float(point_coord(value, field - 1));
}

static void point_reverse(Cell* value, const Cell*, const Cell*) {
    int last = coord_count(value) - 1;
    std::swap(value->data1, (&value->data1)[last]);
}

static ActionEntries point_entries() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, point_make);
    set_entry<A_TO>(e, point_make);
    set_entry<A_RANDOM>(e, point_random);
    set_entry<A_FORM>(e, point_form);
    set_entry<A_MOLD>(e, point_mold);
    set_entry<A_EVAL_PATH>(e, point_eval_path);
    set_entry<A_COMPARE>(e, point2d_compare);
    set_entry<A_ABSOLUTE>(e, point_absolute);
    set_entry<A_ADD>(e, point_math<OP_ADD>);
    set_entry<A_SUBTRACT>(e, point_math<OP_SUBTRACT>);
    set_entry<A_MULTIPLY>(e, point_math<OP_MULTIPLY>);
    set_entry<A_DIVIDE>(e, point_math<OP_DIVIDE>);
    set_entry<A_REMAINDER>(e, point_math<OP_REMAINDER>);
    set_entry<A_NEGATE>(e, point_negate);
    set_entry<A_ROUND>(e, point_round);
    set_entry<A_PICK>(e, point_pick);
    set_entry<A_REVERSE>(e, point_reverse);
    return e;
}

void point2d_init() { register_datatype(T_POINT2D, T_NONE_ID, "point2D!", point_entries()); }
void point3d_init() { register_datatype(T_POINT3D, T_NONE_ID, "point3D!", point_entries()); }

} // namespace kel
