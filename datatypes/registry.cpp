// The datatype registry: the type-name table, the action table and the shared constant cells.
//
// Rows are filled by register_datatype in start-up order; an inherited slot is copied from the
// parent's row at that moment. The name words are made later by register_type_names, once the
// global context exists (a type registered after that gets its word at once).
#include "datatypes/datatype.h"

#include "core/context.h"
#include "core/gc.h"
#include "core/symbol.h"

#include <cstring>

namespace kel {

const char* const k_action_names[ACTION_COUNT] = {
    "make", "random", "reflect", "to", "form", "mold", "eval-path", nullptr, "compare",
    "absolute", "add", "divide", "multiply", "negate", "power", "remainder", "round", "subtract",
    "even?", "odd?", "and~", "complement", "or~", "xor~",
    "append", "at", "back", "change", "clear", "copy", "find", "head", "head?", "index?",
    "insert", "length?", "move", "next", "pick", "poke", "put", "remove", "reverse", "select",
    "sort", "skip", "swap", "tail", "tail?", "take", "trim",
    "create", "close", "delete", "modify", "open", "open?", "query", "read", "rename", "update",
    "write",
};

DatatypeEntry g_datatypes[T_TABLE_SIZE];
AnyAction g_action_table[T_TABLE_SIZE][ACTION_ROW];
int32_t g_highest_type = 0;
static bool g_type_names_made = false;  // start-up has made the name words

const Cell g_unset_cell{T_UNSET, 0, 0, 0};
const Cell g_none_cell{T_NONE, 0, 0, 0};
const Cell g_true_cell{T_LOGIC, 1, 0, 0};
const Cell g_false_cell{T_LOGIC, 0, 0, 0};

void datatype_table_init() {
    for (auto& d : g_datatypes) d = DatatypeEntry{nullptr, 0, make_unset()};
    std::memset(g_action_table, 0, sizeof g_action_table);
    g_highest_type = 0;
    g_type_names_made = false;
}

static void make_type_word(TypeId id) {
    g_datatypes[id].word = *context_global_word(symbol_make(g_datatypes[id].name));
}

void register_datatype(TypeId id, TypeId parent, const char* name, const ActionEntries& entries) {
    if (id > g_highest_type) g_highest_type = id;
    g_datatypes[id].name = name;
    g_datatypes[id].length = int32_t(std::strlen(name)) - 1;
    for (uint32_t a = 0; a < ACTION_COUNT; ++a) {
        const ActionEntry& e = entries[a];
        switch (e.kind) {
        case ActionEntry::Inherit: g_action_table[id][a] = parent ? g_action_table[parent][a] : nullptr; break;
        case ActionEntry::Unsupported: g_action_table[id][a] = nullptr; break;
        case ActionEntry::Impl: g_action_table[id][a] = e.fn; break;
        }
    }
    if (g_type_names_made) make_type_word(id);
}

void datatypes_init() {
    datatype_init();
    unset_init();
    none_init();
    logic_init();
    series_init();
    block_init();
    string_init();
    binary_init();
    integer_init();
    symbol_init();
    context_init();
    word_init();
    lit_word_init();
    set_word_init();
    get_word_init();
    refinement_init();
    char_init();
    native_init();
    action_init();
    op_init();
    path_init();
    lit_path_init();
    set_path_init();
    get_path_init();
    function_init();
    routine_init();
    paren_init();
    issue_init();
    url_init();
    file_init();
    object_init();
    bitset_init();
    triple_init();
    float_init();
    typeset_init();
    error_init();
    vector_init();
    map_init();
    hash_init();
    pair_init();
    percent_init();
    tuple_init();
    time_init();
    tag_init();
    email_init();
    handle_init();
    date_init();
    port_init();
    money_init();
    ref_init();
    point2d_init();
    point3d_init();
    image_init();
}

// The name words hold the global context's node, which the collector may renumber.
static void mark_type_words() {
    for (int32_t t = 1; t <= g_highest_type; ++t)
        collector_mark_cells(&g_datatypes[t].word, &g_datatypes[t].word + 1);
}

void register_type_names() {
    collector_unregister(mark_type_words);
    collector_register(mark_type_words);
    for (int32_t t = 1; t <= g_highest_type; ++t)
        if (g_datatypes[t].name) make_type_word(TypeId(t));
    g_type_names_made = true;
}

} // namespace kel
