// Message boxes: the replaceable handler, button sets, icons and answers.
#include <kalvio/message.h>

#include "message_recorder.h"

#include <gtest/gtest.h>

using kalvio::MessageButtons;
using kalvio::MessageIcon;
using kalvio_test::MessageRecorder;

TEST(MessageBox, HandlerSeesExactTextButtonsAndIcon) {
    MessageRecorder recorder;
    EXPECT_EQ(AfxMessageBox("read_pgm_image: Can't open file"), IDOK);
    recorder.answer(IDCANCEL);
    EXPECT_EQ(AfxMessageBox("write_pgm_file: Converting to gray level", MB_OKCANCEL), IDCANCEL);
    recorder.answer(IDNO);
    EXPECT_EQ(AfxMessageBox(std::string("Replace?"), MB_YESNO | MB_ICONQUESTION), IDNO);
    AfxMessageBox("Can't open image", MB_OK | MB_ICONSTOP);

    ASSERT_EQ(recorder.boxes().size(), 4u);
    EXPECT_EQ(recorder.boxes()[0].text, "read_pgm_image: Can't open file");
    EXPECT_EQ(recorder.boxes()[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(recorder.boxes()[0].icon, MessageIcon::None);
    EXPECT_EQ(recorder.boxes()[1].buttons, MessageButtons::OkCancel);
    EXPECT_EQ(recorder.boxes()[2].buttons, MessageButtons::YesNo);
    EXPECT_EQ(recorder.boxes()[2].icon, MessageIcon::Question);
    EXPECT_EQ(recorder.boxes()[3].icon, MessageIcon::Error);
}

TEST(MessageBox, AnswerThatWasNotOfferedFallsBackToTheSafeChoice) {
    MessageRecorder recorder;
    recorder.answer(IDYES);
    EXPECT_EQ(AfxMessageBox("Converting", MB_OKCANCEL), IDCANCEL);
    recorder.answer(IDCANCEL);
    EXPECT_EQ(AfxMessageBox("Only OK"), IDOK);
    recorder.answer(0);
    EXPECT_EQ(AfxMessageBox("Yes or no", MB_YESNO), IDYES);
}

// Recorders nest; when the last one goes, or an empty handler is set, the
// default writes to standard error and answers with the first button.
TEST(MessageBox, RecordersNestAndEmptyHandlersRestoreTheDefault) {
    {
        MessageRecorder outer;
        {
            MessageRecorder inner;
            AfxMessageBox("inner");
            EXPECT_EQ(inner.texts(), std::vector<std::string>{"inner"});
        }
        AfxMessageBox("outer");
        EXPECT_EQ(outer.texts(), std::vector<std::string>{"outer"});
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(AfxMessageBox("to standard error", MB_OKCANCEL), IDOK);
    EXPECT_EQ(AfxMessageBox("yes by default", MB_YESNOCANCEL), IDYES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to standard error\nyes by default\n");

    kalvio::MessageHandler previous = kalvio::set_message_handler(
        [](const std::string&, MessageButtons, MessageIcon) { return IDCANCEL; });
    EXPECT_EQ(AfxMessageBox("custom", MB_OKCANCEL), IDCANCEL);
    kalvio::set_message_handler(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(AfxMessageBox("default again", MB_OKCANCEL), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "default again\n");
    kalvio::set_message_handler(previous);
}
