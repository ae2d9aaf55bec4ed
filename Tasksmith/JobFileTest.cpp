#include "JobFile.h"

#include "CM/Exceptions.h"
#include "testsupport/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace qz::tasksmith {
namespace {

using ::testing::HasSubstr;

std::string ErrorOf(const std::string& xml) {
    try {
        ParseJobXml(xml, "/base", "job.xml");
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no error)";
}

TEST(JobFileTest, ReadsEveryFeatureOfTheFormat) {
    JobSpec job = ParseJobXml(R"(<?xml version="1.0"?>
<job name="demo" slots="3" keep-going="yes">
  <env name="CC" value="cc"/>
  <task id="a" caption="Compile a" folder="src" remote="true">
    <exec><arg>cc</arg><arg>-c</arg><arg>a file.c</arg></exec>
    <env name="CC" value="clang"/>
    <input path="a.c"/>
    <output>a.o</output>
    <clean>rm -f a.o</clean>
  </task>
  <task id="b" depends="a">
    <shell>echo "b" &amp;&amp; true</shell>
  </task>
  <task id="c"><shell>true</shell><depends on="b a"/></task>
</job>)",
                              "/base", "job.xml");
    EXPECT_EQ(job.name, "demo");
    EXPECT_EQ(job.slots, 3);
    EXPECT_TRUE(job.keepGoing);
    ASSERT_EQ(job.tasks.size(), 3u);
    const JobTask& a = job.tasks[0];
    EXPECT_EQ(a.caption, "Compile a");
    EXPECT_EQ(a.folder, "/base/src");
    EXPECT_TRUE(a.remote);
    EXPECT_EQ(a.arguments, (std::vector<std::string>{"cc", "-c", "a file.c"}));
    EXPECT_EQ(a.CommandLine(), "cc -c 'a file.c'");
    EXPECT_EQ(a.inputs, std::vector<std::string>{"/base/src/a.c"});
    EXPECT_EQ(a.outputs, std::vector<std::string>{"/base/src/a.o"});
    EXPECT_EQ(a.cleanLine, "rm -f a.o");
    // The job-wide value comes first so that the task's own one wins when applied in order.
    ASSERT_EQ(a.environment.size(), 2u);
    EXPECT_EQ(a.environment[1].second, "clang");
    EXPECT_EQ(job.tasks[1].shellLine, "echo \"b\" && true");
    EXPECT_EQ(job.tasks[1].caption, "b");
    EXPECT_EQ(job.tasks[2].dependencies, (std::vector<int>{1, 0}));
    EXPECT_EQ(job.order, (std::vector<int>{0, 1, 2}));
}

TEST(JobFileTest, RemoteExecutionCanBeRequired) {
    auto parse = [](const std::string& attribute) {
        return ParseJobXml("<job" + attribute +
                               "><task id=\"a\" remote=\"true\"><shell>true</shell>"
                               "</task></job>",
                           "/base", "job.xml");
    };
    EXPECT_FALSE(parse("").remoteRequired);
    EXPECT_TRUE(parse(" remote-required=\"true\"").remoteRequired);
    EXPECT_FALSE(parse(" remote-required=\"no\"").remoteRequired);
    EXPECT_THAT(ErrorOf("<job remote-required=\"maybe\"><task id=\"a\"><shell>true</shell>"
                        "</task></job>"),
                HasSubstr("remote-required"));
}

TEST(JobFileTest, RefusesBrokenGraphsNamingTheTask) {
    EXPECT_THAT(ErrorOf(R"(<job><task id="x"><shell>true</shell></task>
<task id="x"><shell>true</shell></task></job>)"),
                AllOf(HasSubstr("line 2"), HasSubstr("duplicate task id \"x\""),
                      HasSubstr("first defined on line 1")));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a" depends="ghost"><shell>true</shell></task></job>)"),
                HasSubstr("task \"a\" depends on unknown task \"ghost\""));
    EXPECT_THAT(ErrorOf(R"(<job>
<task id="a" depends="c"><shell>true</shell></task>
<task id="b" depends="a"><shell>true</shell></task>
<task id="c" depends="b"><shell>true</shell></task>
<task id="free"><shell>true</shell></task></job>)"),
                AllOf(HasSubstr("dependency cycle"), HasSubstr("\"a\""), HasSubstr("\"b\""),
                      HasSubstr("\"c\""), ::testing::Not(HasSubstr("free"))));
    EXPECT_THAT(ErrorOf(R"(<job><task id="self" depends="self"><shell>true</shell></task></job>)"),
                HasSubstr("\"self\" -> \"self\""));
}

TEST(JobFileTest, RefusesDamagedOrUnexpectedDocuments) {
    EXPECT_THAT(ErrorOf("<job><task id=\"a\"><shell>true</shell></task>"),
                AllOf(HasSubstr("Job file job.xml"), HasSubstr("damaged XML")));
    EXPECT_THAT(ErrorOf(""), HasSubstr("damaged XML"));
    EXPECT_THAT(ErrorOf(std::string("<job>\0</job>", 12)), HasSubstr("damaged XML"));
    EXPECT_THAT(ErrorOf("<project/>"), HasSubstr("root element must be <job>"));
    EXPECT_THAT(ErrorOf("<job/>"), HasSubstr("no task"));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a"/></job>)"), HasSubstr("task \"a\" has no <shell>"));
    EXPECT_THAT(ErrorOf(R"(<job><task><shell>true</shell></task></job>)"), HasSubstr("no id"));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a"><shel>true</shel></task></job>)"),
                HasSubstr("unknown element <shel> in task \"a\""));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a" remote="maybe"><shell>x</shell></task></job>)"),
                HasSubstr("must be true or false"));
    EXPECT_THAT(ErrorOf(R"(<job slots="0"><task id="a"><shell>x</shell></task></job>)"),
                HasSubstr("slots of <job>"));
    EXPECT_THAT(ErrorOf(R"(<job slots="99999999999"><task id="a"><shell>x</shell></task></job>)"),
                HasSubstr("slots of <job>"));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a"><exec></exec></task></job>)"),
                HasSubstr("names no program"));
    EXPECT_THAT(ErrorOf(R"(<job><task id="a"><shell>x</shell><shell>y</shell></task></job>)"),
                HasSubstr("more than one command"));
    // Entity definitions could expand without bound or read local files: refused outright.
    EXPECT_THAT(ErrorOf(R"(<!DOCTYPE job [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;">]>
<job><task id="a"><shell>&b;</shell></task></job>)"),
                HasSubstr("document type declarations are not allowed"));
}

TEST(JobFileTest, LoadsFromDiskRelativeToTheFileAndReportsUnreadableFiles) {
    test::TempDir dir;
    test::WriteFile(dir / "j.xml", R"(<job><task id="a" folder="sub"><shell>x</shell>
<input>in.c</input></task></job>)");
    JobSpec job = LoadJobFile(dir / "j.xml");
    EXPECT_EQ(job.tasks[0].folder, dir / "sub");
    EXPECT_EQ(job.tasks[0].inputs[0], dir / "sub/in.c");
    try {
        LoadJobFile(dir / "missing.xml");
        FAIL() << "a missing job file must raise";
    } catch (const Exception& e) {
        EXPECT_THAT(e.Message(), HasSubstr("missing.xml: cannot be read"));
    }
}

TEST(JobFileTest, ShellQuoteKeepsArgumentsIntact) {
    EXPECT_EQ(ShellQuote("plain-arg_1.c"), "plain-arg_1.c");
    EXPECT_EQ(ShellQuote(""), "''");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuote("$HOME"), "'$HOME'");
}

} // namespace
} // namespace qz::tasksmith
