// The JSON tree core: numbers at the 64-bit limits, strings and escapes, layout, queries, editing, the
// hooks with allocation failures, and hostile text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json_tree.h"

namespace {

std::string take(char* text) {
    if (text == nullptr) return "<null>";
    std::string result(text);
    json_release(text);
    return result;
}

struct Tree {
    json_item* root;
    explicit Tree(json_item* item) : root(item) {}
    ~Tree() { json_delete(root); }
};

struct NumberCase {
    const char* text;
    int32_t type;
    int32_t sign;
    uint64_t bits;    // int_value as 64 bits
    double value;     // double_value
    const char* printed;
};

class Numbers : public testing::TestWithParam<NumberCase> {};

TEST_P(Numbers, ParseKeepsTypeSignBitsAndPrintsBack) {
    const NumberCase& c = GetParam();
    const char* error = "unset";
    Tree tree(json_parse(c.text, &error));
    ASSERT_NE(tree.root, nullptr) << c.text;
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(tree.root->type, c.type);
    EXPECT_EQ(tree.root->sign, c.sign);
    EXPECT_EQ(static_cast<uint64_t>(tree.root->int_value), c.bits);
    EXPECT_DOUBLE_EQ(tree.root->double_value, c.value);
    EXPECT_EQ(take(json_print_compact(tree.root)), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Numbers,
    testing::Values(
        NumberCase{"18446744073709551615", JSON_INT, 1, UINT64_MAX, 18446744073709551615.0, "18446744073709551615"},
        NumberCase{"-9223372036854775808", JSON_INT, -1, 0x8000000000000000ull, -9223372036854775808.0,
                   "-9223372036854775808"},
        NumberCase{"9223372036854775807", JSON_INT, 1, 0x7fffffffffffffffull, 9223372036854775807.0,
                   "9223372036854775807"},
        NumberCase{"4294967295", JSON_INT, 1, 4294967295ull, 4294967295.0, "4294967295"},
        NumberCase{"4294967296", JSON_INT, 1, 4294967296ull, 4294967296.0, "4294967296"},
        NumberCase{"-2147483648", JSON_INT, -1, static_cast<uint64_t>(-2147483648ll), -2147483648.0, "-2147483648"},
        NumberCase{"-2147483649", JSON_INT, -1, static_cast<uint64_t>(-2147483649ll), -2147483649.0, "-2147483649"},
        NumberCase{"-1", JSON_INT, -1, UINT64_MAX, -1.0, "-1"},
        NumberCase{"5e0", JSON_INT, 1, 5, 5.0, "5"},
        NumberCase{"5E+00", JSON_INT, 1, 5, 5.0, "5"},
        NumberCase{"1.5", JSON_DOUBLE, 1, 1, 1.5, "1.500000000000000"},
        NumberCase{"-1.25", JSON_DOUBLE, -1, 1, -1.25, "-1.250000000000000"},
        NumberCase{"1.5e3", JSON_DOUBLE, 1, 1, 1500.0, "1500.000000000000000"},
        NumberCase{"12e3", JSON_DOUBLE, 1, 12, 12000.0, "12000.000000000000000"},
        NumberCase{"25e-1", JSON_DOUBLE, 1, 25, 2.5, "2.500000000000000"},
        NumberCase{"007", JSON_INT, 1, 7, 7.0, "7"},
        NumberCase{"-", JSON_INT, -1, 0, 0.0, "0"},
        NumberCase{"-0", JSON_INT, -1, 0, 0.0, "0"},
        NumberCase{"0.1", JSON_DOUBLE, 1, 0, 0.1, "0.100000000000000"},
        // Magnitudes whose fixed-notation text needs more than 64 bytes are printed whole.
        NumberCase{"1e60", JSON_DOUBLE, 1, 1, 1e60,
                   "999999999999999949387135297074018866963645011013410073083904.000000000000000"},
        // JSON has no infinity: an exponent out of range prints as null.
        NumberCase{"1e999", JSON_DOUBLE, 1, 1, HUGE_VAL, "null"}));

TEST(JsonTree, LongDecimalFractionsRoundAsOnTheDevice) {
    // The fraction is summed digit by digit (each digit times a double step of 0.1 powers) in quadruple
    // precision, then rounded once to double, as the device does. The expected values were worked out
    // with exact rational arithmetic rounded to 113 and then 53 bits; they are not always the nearest
    // double to the decimal text (0.3 gives 0.30000000000000004).
    struct Case {
        const char* text;
        double value;
    } cases[] = {{"0.1234567890123456789", 0.12345678901234569},
                 {"3.141592653589793238462643383279", 3.141592653589793},
                 {"123456789.987654321", 123456789.98765433},
                 {"0.3", 0.30000000000000004},
                 {"2.675", 2.6750000000000003},
                 // These two round differently when the sum is kept in 80-bit extended precision.
                 {"1913.6761711967438940424724726", 1913.6761711967438},
                 {"822091.584995812329025060", 822091.5849958124}};
    for (const Case& c : cases) {
        Tree tree(json_parse(c.text, nullptr));
        ASSERT_NE(tree.root, nullptr);
        EXPECT_EQ(tree.root->double_value, c.value) << c.text;
    }
}

struct StringCase {
    const char* text;
    std::string bytes;
};

class Strings : public testing::TestWithParam<StringCase> {};

TEST_P(Strings, DecodeToTheseBytes) {
    Tree tree(json_parse(GetParam().text, nullptr));
    ASSERT_NE(tree.root, nullptr);
    ASSERT_EQ(tree.root->type, JSON_STRING);
    EXPECT_EQ(std::string(tree.root->text_value), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Strings,
    testing::Values(StringCase{R"("\u00e9")", "\xC3\xA9"}, StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
                    StringCase{R"("\ud840\udc00")", "\xF0\xA0\x80\x80"}, StringCase{R"("a\u0000b")", "ab"},
                    StringCase{R"("a\udc00b")", "ab"}, StringCase{R"("\ud83dx")", "x"},
                    StringCase{R"("\ud83d\u0041")", ""}, StringCase{R"("\u20ac")", "\xE2\x82\xAC"},
                    StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"}, StringCase{R"("\q")", "q"},
                    StringCase{R"("open)", "open"},
                    // Cut-off escapes at the very end never read past the text.
                    StringCase{"\"ab\\", "ab"}, StringCase{"\"\\u4", "\x04"}, StringCase{"\"\\u", ""},
                    StringCase{"\"\\ud83d\\u", ""}, StringCase{"\"\\uzz\"", ""}));

TEST(JsonTree, StringsPrintWithTheirEscapes) {
    Tree tree(json_create_string("q\"b\\s/\x01\x1f\xC3\xA9\t\n"));
    EXPECT_EQ(take(json_print_compact(tree.root)), "\"q\\\"b\\\\s/\\u0001\\u001f\xC3\xA9\\t\\n\"");
}

TEST(JsonTree, FormattedLayoutUsesTabsAndCommaSpace) {
    Tree tree(json_parse(R"({"a":1,"b":[1,2],"c":{},"d":{"e":true}})", nullptr));
    ASSERT_NE(tree.root, nullptr);
    EXPECT_EQ(take(json_print_formatted(tree.root)),
              "{\n\t\"a\":\t1,\n\t\"b\":\t[1, 2],\n\t\"c\":\t{\n\t},\n\t\"d\":\t{\n\t\t\"e\":\ttrue\n\t}\n}");
    EXPECT_EQ(take(json_print_compact(tree.root)), R"({"a":1,"b":[1,2],"c":{},"d":{"e":true}})");
    Tree empty(json_create_object());
    EXPECT_EQ(take(json_print_formatted(empty.root)), "{\n}");
    EXPECT_EQ(take(json_print_compact(empty.root)), "{}");
}

struct SyntaxCase {
    const char* text;
    size_t error_offset;
};

class SyntaxErrors : public testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrors, PointAtTheOffendingCharacter) {
    const char* error = nullptr;
    EXPECT_EQ(json_parse(GetParam().text, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(static_cast<size_t>(error - GetParam().text), GetParam().error_offset) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, SyntaxErrors,
                         testing::Values(SyntaxCase{"", 0}, SyntaxCase{"   \n\t", 5}, SyntaxCase{"[1.x]", 2},
                                         SyntaxCase{"[1 2]", 3}, SyntaxCase{"{a:1}", 1},
                                         SyntaxCase{"{\"a\" 1}", 5}, SyntaxCase{"{\"a\":1 ]", 7},
                                         SyntaxCase{"[", 1}, SyntaxCase{"{\"a\":", 5}, SyntaxCase{"x", 0},
                                         SyntaxCase{"[tru]", 1}));

TEST(JsonTree, LettersOfLiteralsAreAllThatIsCompared) {
    // "nullx" is a null followed by text the caller ignores; trailing text after a value is ignored too.
    Tree a(json_parse("nullx", nullptr));
    ASSERT_NE(a.root, nullptr);
    EXPECT_EQ(a.root->type, JSON_NULL);
    Tree b(json_parse("true", nullptr));
    ASSERT_NE(b.root, nullptr);
    EXPECT_EQ(b.root->int_value, 1);
    Tree c(json_parse(" [1] trailing", nullptr));
    ASSERT_NE(c.root, nullptr);
    EXPECT_EQ(json_array_size(c.root), 1);
}

TEST(JsonTree, NestingIsBoundedAtBothEnds) {
    const std::string ok = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
    Tree deep(json_parse(ok.c_str(), nullptr));
    ASSERT_NE(deep.root, nullptr);
    EXPECT_EQ(take(json_print_compact(deep.root)), ok);
    // A million brackets fail cleanly instead of exhausting the stack.
    const std::string hostile(1000000, '[');
    const char* error = nullptr;
    EXPECT_EQ(json_parse(hostile.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error - hostile.c_str(), kJsonMaxDepth);
    // A tree built deeper than that by hand is deleted without recursion.
    json_item* root = json_create_array();
    json_item* inner = root;
    for (int i = 0; i < 200000; ++i) {
        json_item* next = json_create_array();
        json_array_append(inner, next);
        inner = next;
    }
    EXPECT_EQ(json_print_compact(root), nullptr);
    json_delete(root);
}

TEST(JsonTree, QueriesMatchKeysIgnoringCaseAndClampIndexes) {
    Tree tree(json_parse(R"({"name":1,"NAME":2,"x":[10,20,30]})", nullptr));
    ASSERT_NE(tree.root, nullptr);
    EXPECT_EQ(json_object_item(tree.root, "Name")->int_value, 1);  // the first of two spellings wins
    EXPECT_EQ(json_object_item(tree.root, "missing"), nullptr);
    json_item* x = json_object_item(tree.root, "X");
    EXPECT_EQ(json_array_size(x), 3);
    EXPECT_EQ(json_array_item(x, -1)->int_value, 10);
    EXPECT_EQ(json_array_item(x, 2)->int_value, 30);
    EXPECT_EQ(json_array_item(x, 3), nullptr);
    EXPECT_EQ(json_key_compare(nullptr, nullptr), 0);
    EXPECT_EQ(json_key_compare("a", nullptr), 1);
    EXPECT_LT(json_key_compare("a", "B"), 0);
    EXPECT_EQ(json_key_compare("\xC3\xA9", "\xC3\xA9"), 0);
}

TEST(JsonTree, EditingKeepsLinksConsistent) {
    json_item* array = json_create_array();
    json_array_append(array, json_create_int(2, -1));
    json_array_append(array, json_create_int(3, -1));
    json_array_prepend(array, json_create_int(1, -1));
    json_array_append(array, nullptr);
    EXPECT_EQ(take(json_print_compact(array)), "[1,2,3]");
    json_array_replace(array, 1, json_create_string("two"));
    EXPECT_EQ(take(json_print_compact(array)), "[1,\"two\",3]");
    json_item* outside = json_create_null();
    json_array_replace(array, 7, outside);  // nothing to replace: the new item stays the caller's
    json_delete(outside);
    json_array_delete(array, 0);
    EXPECT_EQ(take(json_print_compact(array)), "[\"two\",3]");
    EXPECT_EQ(array->child->prev, nullptr);
    json_item* detached = json_array_detach(array, 1);
    EXPECT_EQ(detached->next, nullptr);
    EXPECT_EQ(detached->prev, nullptr);
    json_delete(detached);
    EXPECT_EQ(take(json_print_compact(array)), "[\"two\"]");

    json_item* object = json_create_object();
    json_object_add(object, "a", json_create_true());
    json_object_add(object, "b", array);
    json_object_add_reference(object, "c", array);
    json_item* target = json_create_int(0, 1);
    json_array_append_reference(array, target);
    ASSERT_NE(array->child->next, nullptr);
    EXPECT_NE(array->child->next->type & JSON_IS_REFERENCE, 0);
    json_delete(json_array_detach(array, 1));  // releases the reference, not its target
    EXPECT_EQ(take(json_print_compact(target)), "0");
    json_delete(target);
    EXPECT_EQ(take(json_print_compact(object)), R"({"a":true,"b":["two"],"c":["two"]})");
    json_object_replace(object, "A", json_create_false());
    EXPECT_EQ(take(json_print_compact(object)), R"({"A":false,"b":["two"],"c":["two"]})");
    json_object_delete(object, "c");  // a reference releases nothing it shares
    json_object_delete(object, "missing");
    EXPECT_EQ(take(json_print_compact(object)), R"({"A":false,"b":["two"]})");
    json_delete(object);
}

TEST(JsonTree, CreatorsOfEveryKind) {
    const int32_t ints[] = {1, -2, 3};
    const float floats[] = {0.5f};
    const double doubles[] = {2.25, -1.0};
    const char* const texts[] = {"x", "y"};
    Tree a(json_create_int_array(ints, -1, 3));
    EXPECT_EQ(take(json_print_compact(a.root)), "[1.000000000000000,-2.000000000000000,3.000000000000000]");
    Tree b(json_create_float_array(floats, 1));
    EXPECT_EQ(take(json_print_compact(b.root)), "[0.500000000000000]");
    Tree c(json_create_double_array(doubles, 2));
    EXPECT_EQ(c.root->child->next->sign, -1);
    Tree d(json_create_string_array(texts, 2));
    EXPECT_EQ(take(json_print_compact(d.root)), "[\"x\",\"y\"]");
    Tree e(json_create_string_array(texts, 0));
    EXPECT_EQ(take(json_print_compact(e.root)), "[]");
    Tree f(json_create_double(-1, 1e300));
    EXPECT_EQ(f.root->int_value, INT64_MAX);  // truncation saturates
    Tree g(json_create_int(-1, 1));
    EXPECT_EQ(take(json_print_compact(g.root)), "18446744073709551615");
    EXPECT_EQ(g.root->double_value, 18446744073709551615.0);
    Tree h(json_create_bool(7));
    EXPECT_EQ(h.root->type, JSON_TRUE);
    EXPECT_EQ(json_power(3, 2), 8.0);
}

// Hooks that fail the n-th allocation and count what is still held.
int g_fail_at = -1;
int g_allocations = 0;
int g_held = 0;

void* failing_allocate(size_t size) {
    if (g_allocations++ == g_fail_at) return nullptr;
    ++g_held;
    return std::malloc(size);
}

void counting_release(void* pointer) {
    if (pointer != nullptr) --g_held;
    std::free(pointer);
}

TEST(JsonTree, EveryAllocationFailureGivesNullAndLeaksNothing) {
    const char* document = R"({"a":[1,2.5,"x\u00e9",{"b":null}],"c":"text","d":{"e":[true,false]}})";
    json_set_allocators(failing_allocate, counting_release);
    bool parsed_at_last = false;
    for (int fail_at = 0; fail_at < 200 && !parsed_at_last; ++fail_at) {
        g_fail_at = fail_at;
        g_allocations = 0;
        const char* error = "unset";
        json_item* tree = json_parse(document, &error);
        if (tree == nullptr) {
            EXPECT_EQ(error, nullptr) << "an allocation failure is no syntax error";
        } else {
            parsed_at_last = true;
            // The same for the printer, allocation by allocation.
            for (int print_fail = 0; print_fail < 200; ++print_fail) {
                g_fail_at = print_fail;
                g_allocations = 0;
                char* text = json_print_formatted(tree);
                if (text != nullptr) {
                    json_release(text);
                    break;
                }
            }
            json_delete(tree);
        }
        EXPECT_EQ(g_held, 0) << "failing allocation " << fail_at;
    }
    EXPECT_TRUE(parsed_at_last);
    json_set_allocators(nullptr, nullptr);
    g_fail_at = -1;
}

}  // namespace
