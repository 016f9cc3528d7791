// The run's JSON report: its fields by their stable names, and strings that
// stay valid JSON whatever they hold (a tty's path comes from the command
// line, the failure's words from the program).
#include "handset/launcher/Report.h"

#include <gtest/gtest.h>

namespace {

using launcher::JsonString;

TEST(Report, StringsAreEscapedAndStayUtf8) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("say \"hi\" \\ there"), "\"say \\\"hi\\\" \\\\ there\"");
  EXPECT_EQ(JsonString("a\r\nb\tc"), "\"a\\r\\nb\\tc\"");
  EXPECT_EQ(JsonString(std::string("nul\0bel\a del\x7f", 13)), "\"nul\\u0000bel\\u0007 del\\u007f\"");
  // Characters of two to four bytes are kept as they are.
  EXPECT_EQ(JsonString("A0h \xc2\xa0 \xe2\x82\xac \xf0\x9f\x93\xb1"), "\"A0h \xc2\xa0 \xe2\x82\xac \xf0\x9f\x93\xb1\"");
  // Bytes that are no UTF-8: a Latin-1 path, a cut sequence, an overlong
  // '/', an encoded surrogate, beyond U+10FFFF; each bad byte one U+FFFD.
  EXPECT_EQ(JsonString("/dev/tty\xe9"), "\"/dev/tty\\ufffd\"");
  EXPECT_EQ(JsonString("\xe2\x82"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");
}

TEST(Report, OneObjectWithEveryFieldUnknownOnesNull) {
  launcher::Report failed;
  failed.outcome = "failed";
  failed.exitStatus = 10;
  failed.failure = "Update failed: No answer from the radio module (waiting for AAh after image section 301 of 624)";
  failed.phase = "image";
  failed.attempts = 1;
  failed.updates = 1;
  failed.imageBytes = 2493720;
  failed.imageBytesAcknowledged = 1200000;
  failed.updateSeconds = 8.6741;
  failed.runSeconds = 8.7;
  failed.com1 = "/dev/ttyUSB0";
  EXPECT_EQ(launcher::ReportJson(failed),
            "{\"outcome\":\"failed\",\"exit_status\":10,\"failure\":\"Update failed: No answer from the radio module "
            "(waiting for AAh after image section 301 of 624)\",\"phase\":\"image\",\"attempts\":1,\"updates\":1,"
            "\"image_bytes\":2493720,\"image_bytes_acknowledged\":1200000,\"update_seconds\":8.674,"
            "\"run_seconds\":8.700,\"com1\":\"/dev/ttyUSB0\",\"verify\":null,\"flash_holds_image\":null,"
            "\"rebooted\":false}\n");

  launcher::Report none;
  none.outcome = "none";
  none.exitStatus = 255;
  EXPECT_EQ(launcher::ReportJson(none),
            "{\"outcome\":\"none\",\"exit_status\":255,\"failure\":null,\"phase\":null,\"attempts\":0,\"updates\":0,"
            "\"image_bytes\":null,\"image_bytes_acknowledged\":0,\"update_seconds\":null,\"run_seconds\":0.000,"
            "\"com1\":null,\"verify\":null,\"flash_holds_image\":null,\"rebooted\":false}\n");
}

TEST(Report, AFileThatCannotBeWrittenIsSaid) {
  launcher::Report report;
  report.outcome = "none";
  EXPECT_FALSE(launcher::WriteReport("/nonexistent-folder/report.json", report));
}

}  // namespace
