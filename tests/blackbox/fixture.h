// The fixture of the black-box tests: one sandbox per test, named after it,
// and readers for what watchd leaves behind.
#pragma once

#include "sandbox.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using strings = std::vector<std::string>;

class Blackbox : public ::testing::Test {
protected:
    sandbox sb;

    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            c = c == '/' ? '_' : c;
        sandbox_init(&sb, name);
    }
    void TearDown() override
    {
        sandbox_stop(&sb);
        EXPECT_EQ(sanitizer_reports(&sb), "");
    }

    void config(const std::string &json) { write_file(sb.bin + "/config", json); }
    void config_programs(const strings &names)
    {
        std::string list;
        for (const std::string &n : names)
            list += (list.empty() ? "" : ",") + std::string("{\"base\":\"") + n + "\"}";
        config("{\"__watch\":{\"processes\":[" + list + "]}}");
    }
    bool started(const std::string &prog, size_t times, double seconds = 20)
    {
        return wait_until([&] { return starts(&sb, prog).size() >= times; }, seconds);
    }
    std::string record() { return read_file(sb.data + "/.bootchk"); }
};

inline const std::regex EVENT_LINE(
    R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] )"
    R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: (.*)$)");

// The event texts of the run file, timestamps checked and stripped. The
// liveness monitor's lines carry none; a malformed stamp stays in the text.
inline strings events(const std::string &run)
{
    strings texts;
    strings lines = lines_of(run);
    for (size_t i = 1; i < lines.size(); i++) {
        std::smatch m;
        texts.push_back(std::regex_match(lines[i], m, EVENT_LINE) ? std::string(m[3]) : lines[i]);
    }
    return texts;
}
