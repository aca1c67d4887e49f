// The watch configuration: which documents fill the table how, and which are refused.
#include "config/config.h"
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <memory>
#include <vector>

struct config_case {
    const char *name;
    std::string json;
    int want;
    std::vector<std::string> bases;   // table after loading, when accepted
    std::vector<std::string> alives;
};

class WatchConfig : public scratch_test {};

TEST_F(WatchConfig, FillsTheTableOrRefuses)
{
    const std::string dflt = "torvin-dpi-inner";
    // Hostile documents: read or refused, never a crash.
    std::string garbage;
    for (int i = 0; i < 65536; i++)
        garbage += static_cast<char>((i * 7919 + 13) % 256);
    std::string programs =
        R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"}]},)";
    std::string big = programs + R"("pad":")" + std::string(10 << 20, 'p') + "\"}";
    std::string many = R"({"__watch":{"processes":[)";
    for (int i = 0; i < 200000; i++)
        many += R"({"base":"p)" + std::to_string(i) + "\"},";
    many += R"({"base":"last"}]}})";
    const config_case cases[] = {
        {"empty object", "{}", 0, {dflt}, {""}},
        {"root array", R"([{"__watch":{"processes":[{"base":"a"}]}}])", 0, {dflt}, {""}},
        {"root string", R"("text")", 0, {dflt}, {""}},
        {"watch not an object", R"({"__watch":3})", 0, {dflt}, {""}},
        {"no processes", R"({"__watch":{}})", 0, {dflt}, {""}},
        {"empty processes", R"({"__watch":{"processes":[]}})", 0, {dflt}, {""}},
        {"processes a string", R"({"__watch":{"processes":"eng"}})", 0, {dflt}, {""}},
        {"processes true", R"({"__watch":{"processes":true}})", 0, {dflt}, {""}},
        {"one watched", R"({"__watch":{"processes":[{"base":"eng","excheck":true}]}})", 0,
         {"eng"}, {"/tmp/.uci//eng.alive"}},
        {"excheck not the literal true",
         R"({"__watch":{"processes":[{"base":"a","excheck":1},{"base":"b","excheck":"true"},
            {"base":"c","excheck":false}]}})",
         0, {"a", "b", "c"}, {"", "", ""}},
        {"keys in capitals", R"({"__WATCH":{"Processes":[{"BASE":"eng","EXCHECK":true}]}})", 0,
         {"eng"}, {"/tmp/.uci//eng.alive"}},
        {"five programs",
         R"({"__watch":{"processes":[{"base":"1"},{"base":"2"},{"base":"3"},{"base":"4"},
            {"base":"5"}]}})",
         0, {"1", "2", "3", "4"}, {"", "", "", ""}},
        {"fifth without base is never read",
         R"({"__watch":{"processes":[{"base":"1"},{"base":"2"},{"base":"3"},{"base":"4"},{}]}})",
         0, {"1", "2", "3", "4"}, {"", "", "", ""}},
        {"empty base", R"({"__watch":{"processes":[{"base":""}]}})", 0, {""}, {""}},
        {"processes an object", R"({"__watch":{"processes":{"x":{"base":"a"},"y":{"base":"b"}}}})",
         0, {"a", "b"}, {"", ""}},
        {"second without base", R"({"__watch":{"processes":[{"base":"a"},{"excheck":true}]}})",
         -1, {}, {}},
        {"first base a number", R"({"__watch":{"processes":[{"base":1,"base":"a"}]}})", -1, {},
         {}},
        {"element not an object", R"({"__watch":{"processes":["eng"]}})", -1, {}, {}},
        {"not json", "__watch", -1, {}, {}},
        {"empty file", "", -1, {}, {}},
        {"binary garbage", garbage, -1, {}, {}},
        {"garbage after a NUL", "{}" + std::string(1, '\0') + garbage, 0, {dflt}, {""}},
        {"10 MB of JSON", big, 0, {"a", "b", "c", "d"}, {"", "", "", ""}},
        {"200000 programs", many, 0, {"p0", "p1", "p2", "p3"}, {"", "", "", ""}},
        {"nesting deeper than any parser stack", std::string(100000, '[') + std::string(100000, ']'),
         -1, {}, {}},
        {"quotes, blanks, semicolons and newlines kept as they are",
         R"({"__watch":{"processes":[{"base":"it's a \"name\";\nrm -rf /","excheck":true}]}})", 0,
         {"it's a \"name\";\nrm -rf /"}, {"/tmp/.uci//it's a \"name\";\nrm -rf /.alive"}},
    };
    for (const config_case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file("config", c.json);
        auto state = std::make_unique<watch_state>();
        ASSERT_EQ(load_watch_config("config", state.get()), c.want);
        if (c.want != 0)
            continue;
        ASSERT_EQ(state->count, static_cast<int>(c.bases.size()));
        for (int i = 0; i < state->count; i++) {
            EXPECT_EQ(state->procs[i].base, c.bases[i]);
            EXPECT_EQ(state->procs[i].alive_path, c.alives[i]);
            EXPECT_EQ(state->procs[i].pid.load(), 0);
        }
        for (int i = state->count; i < MAX_PROCS; i++)
            EXPECT_EQ(state->procs[i].base[0], '\0');
    }
}

TEST_F(WatchConfig, MissingFileLeavesTheTableUntouched)
{
    auto state = std::make_unique<watch_state>();
    EXPECT_EQ(load_watch_config("config", state.get()), -1);
    EXPECT_EQ(state->count, 0);
}

TEST_F(WatchConfig, LongNamesAreCutAtTheirFields)
{
    std::string name(5000, 'n');
    write_file("config", R"({"__watch":{"processes":[{"base":")" + name + R"(","excheck":true}]}})");
    auto state = std::make_unique<watch_state>();
    ASSERT_EQ(load_watch_config("config", state.get()), 0);
    EXPECT_EQ(std::string(state->procs[0].base), name.substr(0, PATH_BUF - 1));
    EXPECT_EQ(std::string(state->procs[0].alive_path),
              ("/tmp/.uci//" + name).substr(0, PATH_BUF - 1));
}
