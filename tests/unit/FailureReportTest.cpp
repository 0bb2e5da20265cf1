// Failure reports: their text line by line, their envelope, and what happens to the refused
// message when the report can or cannot be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "smtp/FailureReport.h"

namespace {

namespace fs = std::filesystem;

class FailureReportTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        fs::create_directories(Spool() + "/outbox");
        report_.workPath = Spool() + "/outbox/f0000010.wrk";
        report_.messagePath = Spool() + "/outbox/f0000010.txt";
        report_.sender = "carol@example.test";
        report_.transcript = &transcript_;
        Write(report_.workPath, "carol@example.test\r\nx@remote.test\r\n");
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // The one pair in the inbox: message and envelope.
    std::pair<std::string, std::string> OnlyReport() {
        std::vector<std::string> works;
        for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) {
            if (e.path().extension() == ".wrk") works.push_back(e.path().string());
        }
        EXPECT_EQ(works.size(), 1u);
        if (works.size() != 1) return {};
        const std::string base = works[0].substr(0, works[0].size() - 4);
        return {pvtest::ReadFileBytes(base + ".txt"), pvtest::ReadFileBytes(works[0])};
    }

    pv::FailureReport report_;
    std::vector<std::string> transcript_{"<MAIL FROM: <carol@example.test>", ">250 OK", "<RCPT TO: <x@remote.test>",
                                         ">550 no such user", "<RSET", ">250 OK"};
};

TEST_F(FailureReportTest, ReportCarriesTranscriptAndTheMessageByteForByte) {
    // A message with format characters, backslashes, a bare-LF line and no final line end.
    Write(report_.messagePath, "Subject: 100% %s %n\r\n\r\nC:\\dir\\file\r\nbare lf\nlast");
    report_.recipientRejected = true;
    std::string error;
    ASSERT_TRUE(pv::WriteFailureReport(report_, error)) << error;
    auto [text, work] = OnlyReport();
    EXPECT_EQ(text,
              "From: \"mail-deamon\" <postvane>\r\n"
              "To: carol@example.test\r\n"
              "Subject: Recipient rejected by receiver\r\n"
              "\r\n"
              "Transcript of session follows\r\n"
              "---------\r\n"
              "<MAIL FROM: <carol@example.test>\r\n>250 OK\r\n<RCPT TO: <x@remote.test>\r\n>550 no such user\r\n"
              "<RSET\r\n>250 OK\r\n"
              "---------\r\n"
              "\r\n"
              "Origional message follows\r\n"
              "\r\n"
              "Subject: 100% %s %n\r\n\r\nC:\\dir\\file\r\nbare lf\r\nlast");
    EXPECT_EQ(work, "postvane\r\ncarol@example.test\r\n");
    // Out of the outbound queue, its text kept beside it.
    EXPECT_FALSE(fs::exists(report_.workPath));
    EXPECT_TRUE(fs::exists(Spool() + "/outbox/f0000010.old"));
    EXPECT_TRUE(fs::exists(report_.messagePath));
}

TEST_F(FailureReportTest, EmptySenderAndMissingMessageStillGiveACompleteReport) {
    report_.sender = "";
    report_.recipientRejected = false;
    std::string error;
    ASSERT_TRUE(pv::WriteFailureReport(report_, error)) << error;  // no message file exists
    auto [text, work] = OnlyReport();
    const std::string head = "From: \"mail-deamon\" <postvane>\r\nTo: \r\nSubject: Failed mail\r\n\r\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    const std::string tail = "---------\r\n\r\nOrigional message follows\r\n\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(work, "postvane\r\n\r\n");
}

TEST_F(FailureReportTest, AReportThatCannotBeWrittenLeavesNothingBehindAndTheMessageQueued) {
    Write(report_.messagePath, "Subject: x\r\n");
    Write(Spool() + "/inbox", "a file where the inbox folder belongs");
    std::string error;
    EXPECT_FALSE(pv::WriteFailureReport(report_, error));
    EXPECT_NE(error.find("/inbox/"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(report_.workPath));
    EXPECT_FALSE(fs::exists(Spool() + "/outbox/f0000010.old"));
}

}  // namespace
