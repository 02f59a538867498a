// jlib::JsonObject: parsing, reading, each family of edits, the child caches and their lifetime rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "json_object.h"

namespace {

using jlib::JsonObject;

TEST(JsonObject, ParseFailureKeepsTheRestOfTheTextAndLeavesTheObjectEmpty) {
    JsonObject object(std::string(R"({"a":1})"));
    EXPECT_FALSE(object.Parse(R"({"a":1,"b" 2})"));
    EXPECT_TRUE(object.IsEmpty());
    EXPECT_EQ(object.LastError(), "prase json string error at 2}");
    EXPECT_EQ(object.ToString(), "");
    EXPECT_TRUE(object.Parse("[1,2]"));
    EXPECT_EQ(object.LastError(), "prase json string error at 2}");  // a success leaves it
}

TEST(JsonObject, ReadsEveryTypeWithItsConversions) {
    JsonObject o(std::string(R"({"s":"text","i":-5,"u":18446744073709551615,"d":2.9,"t":true,"one":1,)"
                             R"("n":null,"big":1e30,"obj":{"x":[1]}})"));
    std::string s;
    int32_t i32 = 0;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    bool flag = false;
    float f = 0;
    double d = 0;
    EXPECT_TRUE(o.Get("s", s));
    EXPECT_EQ(s, "text");
    EXPECT_FALSE(o.Get("i", s));
    EXPECT_TRUE(o.Get("i", i32));
    EXPECT_EQ(i32, -5);
    EXPECT_TRUE(o.Get("u", u64));
    EXPECT_EQ(u64, UINT64_MAX);
    EXPECT_TRUE(o.Get("u", u32));
    EXPECT_EQ(u32, UINT32_MAX);  // the low 32 bits
    EXPECT_TRUE(o.Get("d", i32));
    EXPECT_EQ(i32, 2);  // truncated toward zero
    EXPECT_TRUE(o.Get("big", i64));
    EXPECT_EQ(i64, INT64_MAX);  // out of range saturates
    EXPECT_TRUE(o.Get("d", d));
    EXPECT_DOUBLE_EQ(d, 2.9);
    EXPECT_TRUE(o.Get("i", f));
    EXPECT_EQ(f, -5.0f);
    EXPECT_TRUE(o.Get("t", flag));
    EXPECT_TRUE(flag);
    flag = true;
    EXPECT_FALSE(o.Get("one", flag));  // an integer is no flag
    EXPECT_TRUE(flag);                 // and the output is left unchanged
    EXPECT_FALSE(o.Get("missing", i32));
    JsonObject sub;
    EXPECT_TRUE(o.Get("obj", sub));
    EXPECT_EQ(sub.ToString(), R"({"x":[1]})");
    EXPECT_TRUE(o.IsNull("n"));
    EXPECT_FALSE(o.IsNull("s"));
    EXPECT_EQ(o.TypeOf("missing"), 0);
    EXPECT_EQ(o.TypeOf("s"), JSON_STRING);
    EXPECT_FALSE(o.Get(0, i32));  // index reads on an object tree fail
}

TEST(JsonObject, ValueTextFormats) {
    JsonObject o(std::string(R"([0.0,1234.5,2e9,18446744073709551615,-7,"x",true,false,null,0.0000001])"));
    const char* expected[] = {"0.000000e+00", "1234.500000", "2.000000e+09", "18446744073709551615", "-7", "x",
                              "true",         "false",       "",             "1.000000e-07"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(o.ValueText(i), expected[i]) << i;
    EXPECT_EQ(o.ValueText(10), "");
    EXPECT_EQ(o.ValueText(-3), "0.000000e+00");  // a negative index stands for the first
}

TEST(JsonObject, AddingByKeyFamilies) {
    JsonObject o;
    EXPECT_TRUE(o.Add("s", "text"));
    EXPECT_TRUE(o.Add("i32", int32_t{-1}));
    EXPECT_TRUE(o.Add("u32", uint32_t{4294967295u}));
    EXPECT_TRUE(o.Add("i64", int64_t{INT64_MIN}));
    EXPECT_TRUE(o.Add("u64", uint64_t{UINT64_MAX}));
    EXPECT_TRUE(o.Add("flag", true, false));
    EXPECT_TRUE(o.Add("f", 0.5f));
    EXPECT_TRUE(o.Add("d", 2.25));
    EXPECT_TRUE(o.AddNull("n"));
    EXPECT_TRUE(o.AddEmptyObject("eo"));
    EXPECT_TRUE(o.AddEmptyArray("ea"));
    EXPECT_EQ(o.ToString(),
              R"({"s":"text","i32":-1,"u32":4294967295,"i64":-9223372036854775808,)"
              R"("u64":18446744073709551615,"flag":true,"f":0.500000000000000,"d":2.250000000000000,)"
              R"("n":null,"eo":{},"ea":[]})");
    EXPECT_FALSE(o.Add("S", "again"));
    EXPECT_EQ(o.LastError(), "key exists!");
    EXPECT_TRUE(o.HasKey("FLAG"));

    JsonObject array(std::string("[1]"));
    EXPECT_FALSE(array.Add("k", 1));
    EXPECT_EQ(array.LastError(), "not a json object! json array?");
}

TEST(JsonObject, ObjectValuesAreCopiedOrTakenOver) {
    JsonObject value(std::string(R"({"x":1})"));
    JsonObject o;
    EXPECT_TRUE(o.Add("copy", value));
    EXPECT_EQ(value.ToString(), R"({"x":1})");
    EXPECT_TRUE(o.Add("moved", std::move(value)));
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_EQ(o.ToString(), R"({"copy":{"x":1},"moved":{"x":1}})");

    // An empty object prints as an empty text, which does not parse.
    JsonObject empty;
    EXPECT_FALSE(o.Add("e", empty));
    EXPECT_EQ(o.LastError(), "prase json string error at ");
    JsonObject copy(empty);
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(copy.LastError(), "prase json string error at ");

    // An internal child owns no tree to give.
    JsonObject& internal = o.Child("copy");
    EXPECT_FALSE(o.Add("again", std::move(internal)));
    EXPECT_EQ(o.LastError(), "can not move a non-independent(internal) JsonObject from one to another.");
}

TEST(JsonObject, ChildOfAnAbsentKeyIsIndependentAndCached) {
    JsonObject parent(std::string(R"({"a":{"b":1}})"));
    JsonObject& absent = parent.Child("zz");
    EXPECT_TRUE(absent.IsEmpty());
    EXPECT_TRUE(absent.Add("k", 1));
    EXPECT_EQ(parent.ToString(), R"({"a":{"b":1}})");
    EXPECT_EQ(&parent.Child("zz"), &absent);
    // Taking the filled placeholder over puts it under its key.
    EXPECT_TRUE(parent.Add("zz", std::move(parent.Child("zz"))));
    EXPECT_EQ(parent.ToString(), R"({"a":{"b":1},"zz":{"k":1}})");

    JsonObject& a = parent.Child("a");
    EXPECT_FALSE(a.IsEmpty());
    EXPECT_TRUE(a.Add("c", "new"));
    EXPECT_EQ(parent.ToString(), R"({"a":{"b":1,"c":"new"},"zz":{"k":1}})");
    EXPECT_EQ(parent.Child("a").Child("c").ToString(), "\"new\"");
}

TEST(JsonObject, KeyTraversalCyclesAndRestarts) {
    JsonObject o(std::string(R"({"a":1,"b":2})"));
    std::string key;
    std::string seen;
    for (int i = 0; i < 7; ++i) seen += o.GetKey(key) ? key : "|";
    EXPECT_EQ(seen, "ab|ab|a");
    o.RestartKeys();
    ASSERT_TRUE(o.GetKey(key));
    EXPECT_EQ(key, "a");
    JsonObject array(std::string("[1,2]"));
    EXPECT_FALSE(array.GetKey(key));
    // Replacing the member the cursor stands on restarts the traversal instead of following a freed item.
    ASSERT_TRUE(o.GetKey(key));
    EXPECT_EQ(key, "b");
    o.RestartKeys();
    o.GetKey(key);
    EXPECT_TRUE(o.Replace("b", 5));
    ASSERT_TRUE(o.GetKey(key));
    EXPECT_EQ(key, "a");
}

TEST(JsonObject, ReplaceAndDeleteByKey) {
    JsonObject o(std::string(R"({"name":"x","n":1})"));
    EXPECT_TRUE(o.Replace("NAME", uint64_t{UINT64_MAX}));
    EXPECT_EQ(o.ToString(), R"({"NAME":18446744073709551615,"n":1})");
    EXPECT_FALSE(o.Replace("missing", 1));
    EXPECT_EQ(o.LastError(), "key not exists!");
    EXPECT_TRUE(o.ReplaceNull("n"));
    EXPECT_TRUE(o.Delete("absent"));
    EXPECT_TRUE(o.Delete("n"));
    EXPECT_EQ(o.ToString(), R"({"NAME":18446744073709551615})");
    JsonObject none;
    EXPECT_FALSE(none.Replace("a", 1));
    EXPECT_EQ(none.LastError(), "json data is null!");
    EXPECT_FALSE(none.Delete("a"));
}

TEST(JsonObject, CachedChildrenUnderAnotherSpellingDieWithTheirMember) {
    JsonObject o(std::string(R"({"Member":{"x":1}})"));
    JsonObject* child = &o.Child("member");
    EXPECT_FALSE(child->IsEmpty());
    // Deleting under a third spelling drops the cached child: a fresh lookup gives a new empty object.
    EXPECT_TRUE(o.Delete("MEMBER"));
    EXPECT_TRUE(o.Child("member").IsEmpty());
    EXPECT_TRUE(o.Add("member", 3));
    JsonObject& again = o.Child("MeMbEr");
    EXPECT_EQ(again.ToString(), "3");
    EXPECT_TRUE(o.Replace("member", "y"));
    EXPECT_EQ(o.Child("MeMbEr").ToString(), "\"y\"");
}

TEST(JsonObject, ArrayFamiliesAndIndexCache) {
    JsonObject a;
    EXPECT_TRUE(a.Add(int32_t{1}));
    EXPECT_TRUE(a.Add("two"));
    EXPECT_TRUE(a.Add(0, true));
    EXPECT_TRUE(a.Add(uint64_t{UINT64_MAX}));
    EXPECT_TRUE(a.AddNull());
    EXPECT_TRUE(a.Prepend(int64_t{-3}));
    EXPECT_TRUE(a.PrependNull());
    EXPECT_EQ(a.ToString(), R"([null,-3,1,"two",true,18446744073709551615,null])");
    EXPECT_EQ(a.ArraySize(), 7);
    EXPECT_TRUE(a.IsArray());

    JsonObject& third = a.Child(2);
    EXPECT_EQ(third.ToString(), "1");
    // A value prepended leaves the cache: the cached child still stands for its element, now one further.
    EXPECT_TRUE(a.Prepend("first"));
    EXPECT_EQ(&a.Child(2), &third);
    EXPECT_EQ(third.ToString(), "1");
    // Deleting at or below a cached index drops it, so it never stands for a deleted element.
    EXPECT_TRUE(a.Delete(-5));
    EXPECT_EQ(a.Child(2).ToString(), "1");
    EXPECT_TRUE(a.Replace(2, 2.5));
    EXPECT_EQ(a.Child(2).ToString(), "2.500000000000000");
    EXPECT_FALSE(a.Replace(99, 1));
    EXPECT_EQ(a.LastError(), "index not exists");
    EXPECT_FALSE(a.Add("k", 1));
    JsonObject obj(std::string("{}"));
    EXPECT_FALSE(obj.Add(1));
    EXPECT_EQ(obj.LastError(), "not a json array! json object?");
    EXPECT_FALSE(obj.Delete(0));
}

TEST(JsonObject, ArraysOfObjects) {
    JsonObject item(std::string(R"({"id":1})"));
    JsonObject list;
    EXPECT_TRUE(list.Add(item));
    EXPECT_TRUE(list.Prepend(JsonObject(std::string(R"({"id":0})"))));
    EXPECT_TRUE(list.Replace(1, JsonObject(std::string(R"({"id":2})"))));
    EXPECT_EQ(list.ToString(), R"([{"id":0},{"id":2}])");
    JsonObject& second = list.Child(1);
    EXPECT_TRUE(second.Replace("id", 5));
    EXPECT_EQ(list.ToString(), R"([{"id":0},{"id":5}])");
    EXPECT_EQ(list.ToFormattedString(), "[{\n\t\t\"id\":\t0\n\t}, {\n\t\t\"id\":\t5\n\t}]");
}

TEST(JsonObject, CopyMoveAssignAndCompare) {
    JsonObject a(std::string(R"({"a":1,"b":2})"));
    JsonObject b(std::string(R"({"b":2,"a":1})"));
    EXPECT_FALSE(a == b);  // member order matters
    JsonObject c(a);
    EXPECT_TRUE(c == a);
    c = c;  // self-assignment keeps the content
    EXPECT_EQ(c.ToString(), R"({"a":1,"b":2})");
    JsonObject& inner = a.Child("a");
    JsonObject copy_of_internal(inner);
    EXPECT_EQ(copy_of_internal.ToString(), "1");
    JsonObject moved(std::move(a));
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(moved.ToString(), R"({"a":1,"b":2})");
    EXPECT_EQ(&moved.Child("a"), &inner);  // the caches moved along
    JsonObject target(std::string("[1]"));
    target = std::move(moved);
    EXPECT_EQ(target.ToString(), R"({"a":1,"b":2})");
    JsonObject from_pointer(&target);
    EXPECT_TRUE(from_pointer == target);
    JsonObject from_null(static_cast<const JsonObject*>(nullptr));
    EXPECT_TRUE(from_null.IsEmpty());
}

TEST(JsonObject, ClearOnAnInternalChildLeavesTheParentTree) {
    JsonObject parent(std::string(R"({"a":{"b":1}})"));
    JsonObject& a = parent.Child("a");
    a.Clear();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(parent.ToString(), R"({"a":{"b":1}})");
}

}  // namespace
