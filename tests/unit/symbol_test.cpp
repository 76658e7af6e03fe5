// The symbol table: interning, canonical symbols and ASCII case aliases, caseless interning,
// non-ASCII names, cached spellings, and interning across the table's growth.
#include "core/case-fold.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kel;

namespace {

class Symbols : public test::RuntimeTest {
protected:

    static std::string name_of(uint32_t id) {
        uint32_t n;
        const uint8_t* p = symbol_name(id, &n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }
};

TEST_F(Symbols, TableIsMadeForFourThousandSymbolsDoubled) {
    HashTable* t = hashtable_record(g_symbol_table);
    EXPECT_EQ(t->kind, HASH_KIND_WORDS);
    EXPECT_EQ(t->buckets, 16384u);
    EXPECT_EQ(t->values, g_symbol_block);
    // the table indexes exactly the symbols start-up interned, each once
    EXPECT_EQ(t->size, symbol_count());
    EXPECT_EQ(t->occupied, symbol_count());
}

TEST_F(Symbols, CaseVariantsBecomeAliasesOfTheFirstSpelling) {
    uint32_t base = symbol_count();
    uint32_t print = symbol_make("print");
    EXPECT_EQ(print, base + 1);  // the next cell of the symbol block
    EXPECT_EQ(symbol_make("print"), print);
    uint32_t Print = symbol_make("Print");
    EXPECT_NE(Print, print);
    EXPECT_EQ(symbol_alias_link(Print), int32_t(print));
    EXPECT_EQ(symbol_alias_link(print), -1);
    uint32_t PRINT = symbol_make("PRINT");
    EXPECT_NE(PRINT, Print);
    EXPECT_EQ(symbol_alias_link(PRINT), int32_t(print));  // to the canonical, not to Print
    for (uint32_t id : {print, Print, PRINT}) EXPECT_EQ(symbol_resolve(id), print);
    EXPECT_EQ(symbol_make("Print"), Print);  // an alias is found again exactly
    EXPECT_EQ(name_of(PRINT), "PRINT");
    EXPECT_EQ(symbol_count(), base + 3);

    const Cell* c = symbol_cell(Print);
    EXPECT_TRUE(c->is(T_SYMBOL));
    EXPECT_EQ(c->data2, 0u);  // no spelling until asked
    Series* name = node_series(c->data3);
    EXPECT_EQ(name->used(), 5u);
    EXPECT_EQ(name->head_ptr()[5], 0);  // NUL after the tail
}

TEST_F(Symbols, FirstSpellingWinsWhateverItsCase) {
    uint32_t Print = symbol_make("Print");
    uint32_t print = symbol_make("print");
    EXPECT_EQ(symbol_alias_link(Print), -1);
    EXPECT_EQ(symbol_resolve(print), Print);
}

TEST_F(Symbols, CaselessInterningFindsAnyVariantAndNeverAliases) {
    uint32_t base = symbol_count();
    uint32_t print = symbol_make("print");
    EXPECT_EQ(symbol_make_caseless("PRINT"), print);
    EXPECT_EQ(symbol_count(), base + 1);
    uint32_t fresh = symbol_make_caseless("Probe");
    EXPECT_EQ(symbol_alias_link(fresh), -1);
    EXPECT_EQ(symbol_make_caseless("probe"), fresh);
    EXPECT_EQ(symbol_count(), base + 2);
}

TEST_F(Symbols, NamesApartByNonAsciiCaseOrLengthStayDistinct) {
    uint32_t upper = symbol_make("\xC3\x9C" "bel");  // Ü
    uint32_t lower = symbol_make("\xC3\xBC" "bel");  // ü
    EXPECT_NE(upper, lower);
    EXPECT_EQ(symbol_alias_link(upper), -1);
    EXPECT_EQ(symbol_alias_link(lower), -1);
    EXPECT_EQ(symbol_resolve(lower), lower);
    // ASCII letters around a non-ASCII one still alias
    uint32_t mixed = symbol_make("\xC3\xBC" "BEL");
    EXPECT_EQ(symbol_resolve(mixed), lower);

    uint32_t a = symbol_make("ab");
    uint32_t b = symbol_make("AB ");
    uint32_t c = symbol_make("a");
    EXPECT_EQ(symbol_resolve(b), b);
    EXPECT_EQ(symbol_resolve(c), c);
    EXPECT_NE(a, b);
    uint32_t empty = symbol_make("");
    EXPECT_EQ(symbol_make_utf8(nullptr, 0), empty);
    EXPECT_EQ(name_of(empty), "");
}

TEST_F(Symbols, SpellingIsCachedOnceInTheNarrowestUnit) {
    struct Case { const char* name; uint32_t unit; uint32_t length; uint32_t last; };
    const Case cases[] = {
        {"word", 1, 4, 'd'},
        {"\xC3\x9C" "ber", 1, 4, 'r'},
        {"\xE5\x90\x8D\xE5\x89\x8D", 2, 2, 0x524D},  // 名前
        {"x\xF0\x9F\x98\x80", 4, 2, 0x1F600},
    };
    for (const Case& k : cases) {
        uint32_t id = symbol_make(k.name);
        Cell* c = symbol_get(id);
        ASSERT_NE(c, nullptr);
        Node spelling = c->data2;
        ASSERT_NE(spelling, 0u) << k.name;
        Series* s = node_series(spelling);
        EXPECT_EQ(s->unit(), k.unit) << k.name;
        EXPECT_EQ(s->length(), k.length) << k.name;
        EXPECT_EQ(unit_get(s->head_ptr() + (k.length - 1) * k.unit, k.unit), k.last) << k.name;
        EXPECT_EQ(symbol_get(id)->data2, spelling) << "made again for " << k.name;
    }
    EXPECT_EQ(symbol_get(0), nullptr);
    EXPECT_EQ(symbol_get(symbol_count() + 1), nullptr);
}

TEST_F(Symbols, NamesAndSpellingsSurviveCollectionsThatMoveThem) {
    // garbage between the names, so that compaction moves the buffers that stay
    std::vector<uint32_t> ids;
    for (int i = 0; i < 50; ++i) {
        uint32_t id = symbol_make(("kept-" + std::to_string(i)).c_str());
        ASSERT_NE(symbol_get(id), nullptr);
        ids.push_back(id);
        alloc_bytes(1000);
    }
    collector_cycle();
    alloc_bytes(1000);
    collector_cycle();
    for (int i = 0; i < 50; ++i) {
        std::string want = "kept-" + std::to_string(i);
        EXPECT_EQ(name_of(ids[size_t(i)]), want);
        Node spelling = symbol_cell(ids[size_t(i)])->data2;
        ASSERT_NE(spelling, 0u) << want;
        Series* s = node_series(spelling);
        ASSERT_EQ(s->unit(), 1u) << want;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->head_ptr()), s->used()), want);
        EXPECT_EQ(symbol_make(want.c_str()), ids[size_t(i)]);
        EXPECT_EQ(symbol_resolve(symbol_make_caseless(("KEPT-" + std::to_string(i)).c_str())), ids[size_t(i)]);
    }
}

TEST_F(Symbols, FromStringUsesTheTextFromItsIndex) {
    const char* text = "xx-\xC3\xA9t\xC3\xA9";  // "xx-été"
    Node str = string_from_utf8(reinterpret_cast<const uint8_t*>(text), uint32_t(std::strlen(text)));
    Cell value = make_series(T_STRING, str, 3);
    uint32_t id = symbol_make_from_string(&value);
    EXPECT_EQ(name_of(id), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(symbol_make("\xC3\xA9t\xC3\xA9"), id);
}

TEST_F(Symbols, InterningSurvivesTableGrowth) {
    // 20000 names pass the bound of 16384 buckets; the table grows sixteenfold
    uint32_t base = symbol_count();
    std::vector<uint32_t> ids;
    for (int i = 0; i < 20000; ++i) ids.push_back(symbol_make(("name-" + std::to_string(i)).c_str()));
    HashTable* t = hashtable_record(g_symbol_table);
    EXPECT_EQ(t->buckets, 524288u);  // 16 × (16384 + 1), rounded up
    uint32_t alias = symbol_make("NAME-17");
    EXPECT_EQ(symbol_resolve(alias), ids[17]);
    for (int i = 0; i < 20000; i += 97)
        EXPECT_EQ(symbol_make(("name-" + std::to_string(i)).c_str()), ids[size_t(i)]) << i;
    EXPECT_EQ(symbol_count(), base + 20001);
    EXPECT_EQ(symbol_make("Name-17"), symbol_make("Name-17"));
    EXPECT_EQ(symbol_resolve(symbol_make("Name-17")), ids[17]);
}

} // namespace
