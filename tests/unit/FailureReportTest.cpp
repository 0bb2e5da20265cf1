// Failure reports: their text line by line, their envelope, and what happens to the refused
// message when the report can or cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "smtp/FailureReport.h"

#include "core/RegistryKey.h"

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
        pv::CRegistryKey("Domain", true).WriteInt("example.test", 1);
    }
    // The report's text without the header lines that change with every report (Date,
    // Message-ID, ...), after checking that they are there.
    static std::string WithoutGenerated(const std::string& text) {
        const size_t end = text.find("\r\n\r\n");
        std::string head = text.substr(0, end + 2), kept;
        for (const char* name : {"\r\nDate: ", "\r\nMessage-ID: <", "\r\nMIME-Version: 1.0\r\n",
                                 "\r\nContent-Type: text/plain; charset=utf-8\r\n"}) {
            EXPECT_NE(head.find(name), std::string::npos) << name;
        }
        for (size_t at = 0; at < head.size();) {
            const size_t next = head.find("\r\n", at) + 2;
            const std::string line = head.substr(at, next - at);
            bool generated = false;
            for (const char* name : {"Date:", "Message-ID:", "In-Reply-To:", "References:", "MIME-Version:",
                                     "Content-Type:", "Content-Transfer-Encoding:"}) {
                generated = generated || line.rfind(name, 0) == 0;
            }
            if (!generated) kept += line;
            at = next;
        }
        return kept + text.substr(end + 2);
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

    // The text file name of the one report in the inbox.
    std::string OnlyReportName() {
        for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) {
            if (e.path().extension() == ".wrk") return e.path().stem().string() + ".txt";
        }
        return "";
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
    EXPECT_EQ(WithoutGenerated(text),
              "From: \"mail-deamon\" <postvane@example.test>\r\n"
              "To: carol@example.test\r\n"
              "Subject: Recipient rejected by receiver\r\n"
              "Auto-Submitted: auto-replied\r\n"
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

TEST_F(FailureReportTest, AMissingMessageStillGivesACompleteReportAndAnEmptySenderNone) {
    report_.recipientRejected = false;
    std::string error;
    for (const char* nobody : {"", "<>", "PostVane"}) {
        report_.sender = nobody;
        EXPECT_FALSE(pv::WriteFailureReport(report_, error)) << nobody;  // a bounce of a bounce
        EXPECT_FALSE(fs::exists(Spool() + "/inbox") && !fs::is_empty(Spool() + "/inbox")) << nobody;
        EXPECT_TRUE(fs::exists(report_.workPath));
    }
    report_.sender = "carol@example.test";
    ASSERT_TRUE(pv::WriteFailureReport(report_, error)) << error;  // no message file exists
    auto [text, work] = OnlyReport();
    const std::string head = "From: \"mail-deamon\" <postvane@example.test>\r\nTo: carol@example.test\r\n"
                             "Subject: Failed mail\r\nAuto-Submitted: auto-replied\r\n\r\n";
    EXPECT_EQ(WithoutGenerated(text).substr(0, head.size()), head);
    const std::string tail = "---------\r\n\r\nOrigional message follows\r\n\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// A run killed at any step of a report: the next run's completion gives exactly one report and
// the message's envelope the report decided on. The states are those each step leaves.
TEST_F(FailureReportTest, AReportInterruptedAtAnyStepIsCommittedExactlyOnce) {
    const std::string outbox = Spool() + "/outbox";
    const std::string inbox = Spool() + "/inbox";
    fs::create_directories(inbox);
    Write(report_.messagePath, "Subject: x\r\n");
    const std::string reportText = inbox + "/f0000100.txt";
    struct Case {
        const char* what;
        std::vector<std::string> outboxFiles;  // besides f0000010.txt
        bool textWritten;
        int reports;
        std::vector<std::string> outboxAfter;  // besides f0000010.txt
        std::string envelopeAfter;
    };
    const std::vector<Case> cases{
        {"killed while writing the report's text", {"f0000010.wrk"}, false, 0, {"f0000010.wrk"}, "old"},
        {"killed while staging", {"f0000010.wrk", "f0000010=f0000100.rpt", "f0000010.nwk"}, true, 0,
         {"f0000010.wrk"}, "old"},
        {"staged, message not yet taken out", {"f0000010.wrk", "f0000010=f0000100.rpw"}, true, 1, {"f0000010.old"}, ""},
        {"staged, message taken out", {"f0000010.old", "f0000010=f0000100.rpw"}, true, 1, {"f0000010.old"}, ""},
        {"staged to keep, new envelope not yet in place", {"f0000010.wrk", "f0000010.nwk", "f0000010=f0000100.rpk"},
         true, 1, {"f0000010.wrk"}, "new"},
        {"staged to keep, new envelope in place", {"f0000010.wrk", "f0000010=f0000100.rpk"}, true, 1,
         {"f0000010.wrk"}, "new"},
    };
    for (const auto& c : cases) {
        for (const auto& e : fs::directory_iterator(outbox)) {
            if (e.path().filename() != "f0000010.txt") fs::remove(e.path());
        }
        for (const auto& e : fs::directory_iterator(inbox)) fs::remove(e.path());
        for (const auto& name : c.outboxFiles) {
            // Step 4 of a kept message puts the new envelope in place of the old one.
            const bool stepFourDone = name.ends_with(".wrk") && c.envelopeAfter == "new" &&
                                      std::find(c.outboxFiles.begin(), c.outboxFiles.end(), "f0000010.nwk") ==
                                          c.outboxFiles.end();
            std::string bytes = "carol@example.test\r\nold@remote.test\r\n";
            if (name.ends_with(".nwk") || stepFourDone) bytes = "carol@example.test\r\nnew@remote.test\r\n";
            if (name.find('=') != std::string::npos) bytes = "postvane\r\ncarol@example.test\r\n";
            Write(outbox + "/" + name, bytes);
        }
        if (c.textWritten) Write(reportText, "Subject: Failed mail\r\n");
        for (int again = 0; again < 2; ++again) {
            EXPECT_EQ(pv::CompleteStagedReports(outbox), again == 0 ? c.reports : 0) << c.what;
        }
        std::vector<std::string> after, reports;
        for (const auto& e : fs::directory_iterator(outbox)) after.push_back(e.path().filename().string());
        for (const auto& e : fs::directory_iterator(inbox)) reports.push_back(e.path().filename().string());
        std::sort(after.begin(), after.end());
        std::sort(reports.begin(), reports.end());
        std::vector<std::string> expected = c.outboxAfter;
        expected.push_back("f0000010.txt");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(after, expected) << c.what;
        const std::vector<std::string> committed{"f0000100.txt", "f0000100.wrk"};
        EXPECT_EQ(reports, c.reports ? committed : std::vector<std::string>()) << c.what;
        if (c.reports) {
            EXPECT_EQ(pvtest::ReadFileBytes(inbox + "/f0000100.wrk"), "postvane\r\ncarol@example.test\r\n");
        }
        if (!c.envelopeAfter.empty()) {
            EXPECT_EQ(pvtest::ReadFileBytes(outbox + "/f0000010.wrk"),
                      "carol@example.test\r\n" + c.envelopeAfter + "@remote.test\r\n")
                << c.what;
        }
    }
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


// The Queue page's summary is read back from reports as they are written: the refused recipient
// only when the refusing reply answered its RCPT, the note before the relay's words, and
// nothing from the refused message's own text.
TEST_F(FailureReportTest, ASummaryIsReadBackFromTheReportsOwnTranscript) {
    Write(report_.messagePath,
          "Subject: looks like one\r\n\r\nTranscript of session follows\r\n---------\r\n"
          "<RCPT TO: <fake@remote.test>\r\n>550 fake\r\n---------\r\n");
    std::string error;
    ASSERT_TRUE(pv::WriteFailureReport(report_, error)) << error;
    pv::FailureReportSummary summary = pv::ReadFailureReportSummary(Spool() + "/inbox/" + OnlyReportName());
    EXPECT_EQ(summary.recipient, "x@remote.test");
    EXPECT_EQ(summary.reason, "550 no such user");

    transcript_ = {"<RCPT TO: <x@remote.test>", ">250 OK", "<DATA", ">354 go on", ">554 5.7.1 content refused"};
    report_.note = "The relay refused the message.";
    for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) fs::remove(e.path());
    Write(report_.workPath, "carol@example.test\r\nx@remote.test\r\n");
    ASSERT_TRUE(pv::WriteFailureReport(report_, error)) << error;
    summary = pv::ReadFailureReportSummary(Spool() + "/inbox/" + OnlyReportName());
    EXPECT_EQ(summary.recipient, "");
    EXPECT_EQ(summary.reason, "The relay refused the message.");

    EXPECT_EQ(pv::ReadFailureReportSummary(Spool() + "/inbox/missing.txt").reason, "");
}

}  // namespace
