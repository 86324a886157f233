// The debug trace channel: capture, formatting and the environment switch.
#include <kalvio/trace.h>

#include "message_recorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Trace, SinkReceivesFormattedTextWithFileAndLine) {
    std::string file;
    int line = 0;
    std::string text;
    kalvio::TraceSink previous = kalvio::set_trace_sink(
        [&](const char* f, int l, const std::string& t) {
            file = f;
            line = l;
            text = t;
        });
    const int here = __LINE__ + 1;
    KALVIO_TRACE("finish %s after %d cuts\n", "maxflow", 12);
    kalvio::set_trace_sink(previous);

    EXPECT_EQ(text, "finish maxflow after 12 cuts\n");
    EXPECT_EQ(line, here);
    EXPECT_NE(file.find("test_trace.cpp"), std::string::npos);
}

TEST(Trace, RecorderCollectsLinesInOrderAndLongLinesAreNotCut) {
    kalvio_test::TraceRecorder recorder;
    KALVIO_TRACE("gray image!\n");
    KALVIO_TRACE("color image!\n");
    const std::string long_text(5000, 'x');
    KALVIO_TRACE("%s\n", long_text.c_str());
    ASSERT_EQ(recorder.lines().size(), 3u);
    EXPECT_EQ(recorder.lines()[0], "gray image!\n");
    EXPECT_EQ(recorder.lines()[1], "color image!\n");
    EXPECT_EQ(recorder.lines()[2], long_text + "\n");
}

// The default channel reads VARNEX_TRACE once; ctest runs each test in its
// own process with the variable unset, so the default stays silent here.
TEST(Trace, DefaultChannelIsSilentWithoutTheEnvironmentSwitch) {
    if (std::getenv("VARNEX_TRACE")) GTEST_SKIP() << "VARNEX_TRACE is set in this environment";
    testing::internal::CaptureStderr();
    KALVIO_TRACE("finish BuildGraph\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Trace, DefaultChannelWritesWhenTheSwitchIsSet) {
    // The "threadsafe" style runs the check in a freshly started copy of
    // this program, so the switch is read afresh there.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("VARNEX_TRACE", "1", 1);
            KALVIO_TRACE("finish maxflow\n");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "test_trace.cpp\\([0-9]+\\): finish maxflow");
}
