// JSON file access: loading files and reading members.
#include "config/config.h"
#include "scratch.h"

#include <climits>

class LoadJsonFile : public scratch_test {};

TEST_F(LoadJsonFile, GivesNothingForWhatIsNotAJsonFile)
{
    write_file("empty", "");
    write_file("blank", " \n\t\r ");
    write_file("broken", "{\"a\":");
    write_file("words", "hello");
    mkdir("a-directory", 0755);
    for (const char *path : {"missing", "empty", "blank", "broken", "words", "a-directory",
                             "/proc/self/status" /* size 0, though it reads as text */}) {
        SCOPED_TRACE(path);
        json_ptr tree(load_json_file(path));
        EXPECT_FALSE(tree);
    }
}

TEST_F(LoadJsonFile, ParsesTheFirstValueAndIgnoresTheRest)
{
    write_file("trailing", "\x01\n {\"base\":\"eng\"} and then some text {");
    json_ptr tree(load_json_file("trailing"));
    ASSERT_TRUE(tree);
    EXPECT_STREQ(json_get_string(tree.get(), "base"), "eng");

    write_file("array", "[1,2]");
    json_ptr array(load_json_file("array"));
    ASSERT_TRUE(array);
    EXPECT_EQ(json_get_int(array.get(), "0"), 0);
}

TEST(JsonGetters, WhatEachKindOfMemberYields)
{
    json_ptr tree(cJSON_Parse(R"({"s":"text","e":"","n":1.9,"m":-1.9,"big":3e10,"small":-3e10,
        "t":true,"f":false,"z":null,"o":{"s":"in"},"a":[1],"one":"1","EXCHECK":true,
        "dup":5,"dup":"second"})"));
    ASSERT_TRUE(tree);
    const cJSON *t = tree.get();

    struct getter_case {
        const char *key;
        const char *string;
        int32_t integer;
        int is_true;
    };
    const getter_case cases[] = {
        {"missing", nullptr, 0, 0}, {"s", "text", 0, 0},        {"e", "", 0, 0},
        {"n", nullptr, 1, 0},       {"m", nullptr, -1, 0},      {"big", nullptr, INT_MAX, 0},
        {"small", nullptr, INT_MIN, 0}, {"t", nullptr, 1, 1},   {"f", nullptr, 0, 0},
        {"z", nullptr, 0, 0},       {"o", nullptr, 0, 0},       {"a", nullptr, 0, 0},
        {"one", "1", 0, 0},         {"excheck", nullptr, 1, 1}, {"S", "text", 0, 0},
        {"dup", nullptr, 5, 0},  // only the first member of a name counts
    };
    for (const getter_case &c : cases) {
        SCOPED_TRACE(c.key);
        const char *s = json_get_string(t, c.key);
        if (c.string == nullptr)
            EXPECT_EQ(s, nullptr);
        else
            EXPECT_STREQ(s, c.string);
        EXPECT_EQ(json_get_int(t, c.key), c.integer);
        EXPECT_EQ(json_is_true(t, c.key), c.is_true);
    }
    EXPECT_EQ(json_get_string(nullptr, "s"), nullptr);
    EXPECT_EQ(json_get_int(nullptr, "s"), 0);
    EXPECT_EQ(json_is_true(nullptr, "s"), 0);
}

TEST(JsonStringArray, StoresUpToNTextsOrStopsAtTheFirstNonString)
{
    json_ptr three(cJSON_Parse(R"(["a","b","c"])"));
    json_ptr mixed(cJSON_Parse(R"(["a",2,"c"])"));
    json_ptr empty(cJSON_Parse("[]"));
    const char *out[4] = {};

    EXPECT_EQ(json_string_array(three.get(), out, 2), 2);
    EXPECT_STREQ(out[0], "a");
    EXPECT_STREQ(out[1], "b");
    EXPECT_EQ(out[2], nullptr);

    const char *partial[3] = {};
    EXPECT_EQ(json_string_array(mixed.get(), partial, 3), -1);
    EXPECT_STREQ(partial[0], "a");
    EXPECT_EQ(partial[1], nullptr);

    EXPECT_EQ(json_string_array(empty.get(), out, 4), 0);
    EXPECT_EQ(json_string_array(nullptr, out, 4), 0);
}
