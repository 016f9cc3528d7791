// The run's report: one line of JSON that its schema takes whatever the run
// came to, words and paths that stay valid JSON whatever bytes they hold, a
// file written whole or not at all, and the README's table of its fields,
// which is the schema's.
#include "handset/launcher/Report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "SchemaCheck.h"
#include "handset/launcher/Advice.h"
#include "handset/launcher/Summary.h"

namespace {

using namespace std::chrono_literals;

launcher::Report Failed() {
  launcher::Report r;
  r.outcome = "failed";
  r.exitStatus = 10;
  r.failure = "Update failed: No answer from the radio module (waiting for AAh after image section 301 of 624)";
  r.nextStep = "check the module's power and the cable, then run the update again";
  r.moduleState = "the module's flash may hold no firmware";
  r.phase = "image";
  r.attempts = 1;
  r.updates = 1;
  r.imageBytes = 2493720;
  r.imageSha256 = std::string(64, 'a');
  r.imageBytesAcknowledged = 1200000;
  r.updateSeconds = 8.6741;
  r.runSeconds = 8.7;
  r.startedAt = launcher::SystemTime(1796774400s);
  r.endedAt = r.startedAt + 8700ms;
  r.tool = {"1.0.0", "0123456789ab", "x86-64"};
  r.port = "/dev/tty\xe9";  // a Latin-1 name: no UTF-8
  r.resetMethod = "dtr";
  r.com1 = r.port;
  r.phases = {{"wake-up", 1, r.startedAt, 0.05}, {"image", 1, r.startedAt + 1s, std::nullopt}};
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every outcome's report is one line the schema takes; what is not known is
// null, what is no UTF-8 becomes U+FFFD.
TEST(Report, EveryOutcomeIsOneLineTheSchemaTakes) {
  launcher::Report none;
  none.outcome = "none";
  none.exitStatus = 255;
  none.tool = {"1.0.0", std::nullopt, "armhf"};
  launcher::Report interrupted = Failed();
  interrupted.outcome = "interrupted";
  interrupted.exitStatus = 143;
  interrupted.signal = "SIGTERM";
  interrupted.failure.reset();
  interrupted.flashReadBack = true;
  interrupted.flashHolds = "no-firmware";
  interrupted.verify = "the flash holds no firmware (erased when the image transfer began)";
  interrupted.flashHoldsImage = false;
  for (const launcher::Report& report : {Failed(), none, interrupted}) {
    std::string json = launcher::ReportJson(report);
    EXPECT_EQ(json.find('\n'), json.size() - 1) << json;
    EXPECT_EQ(schemacheck::Problems(json), "") << json;
  }
  nlohmann::json failed = nlohmann::json::parse(launcher::ReportJson(Failed()));
  EXPECT_EQ(failed["port"], "/dev/tty\xef\xbf\xbd");
  EXPECT_EQ(failed["started_at"], "2026-12-09T00:00:00.000Z");
  EXPECT_EQ(failed["ended_at"], "2026-12-09T00:00:08.700Z");
  EXPECT_EQ(failed["update_seconds"], 8.674);
  EXPECT_TRUE(failed["phases"][1]["seconds"].is_null());
  EXPECT_TRUE(nlohmann::json::parse(launcher::ReportJson(none))["image_sha256"].is_null());

  // The schema is no rubber stamp: what a report must not be, it refuses.
  nlohmann::json wrong = failed;
  wrong["outcome"] = "fine";
  EXPECT_NE(schemacheck::Problems(wrong.dump()), "");
  wrong = failed;
  wrong.erase("ended_at");
  EXPECT_NE(schemacheck::Problems(wrong.dump()), "");
}

// Written whole or not at all: a folder that is not there leaves nothing; a
// file there is replaced whole; /dev/null is written, not replaced; an
// earlier run's report is removed, and nothing that is not a file.
TEST(Report, TheFileIsWrittenWholeOrNotAtAll) {
  char pattern[] = "/tmp/fwutil-report-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  std::string reason;
  EXPECT_FALSE(launcher::WriteJsonFile(dir + "/missing/r.json", "{}\n", &reason));
  EXPECT_NE(reason, "");

  std::string path = dir + "/r.json";
  { std::ofstream(path) << std::string(10000, 'x'); }
  ASSERT_TRUE(launcher::WriteJsonFile(path, "{\"a\":1}\n", &reason)) << reason;
  EXPECT_EQ(ReadFile(path), "{\"a\":1}\n");
  ASSERT_TRUE(launcher::WriteJsonFile("/dev/null", "{}\n", &reason)) << reason;
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  launcher::RemoveEarlierReport(path);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  launcher::RemoveEarlierReport(dir);  // a folder stays
  EXPECT_EQ(access(dir.c_str(), F_OK), 0);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

// The README's table of the report's fields is made from the schema: each
// field with its description, in the schema's order.
std::string FieldsTable(const nlohmann::json& definition) {
  std::string table = "| Field | Holds |\n|---|---|\n";
  for (const nlohmann::json& field : definition["required"]) {
    const std::string name = field.get<std::string>();
    table += "| `" + name + "` | " + definition["properties"][name]["description"].get<std::string>() + " |\n";
  }
  return table;
}

TEST(Report, TheReadmeListsTheSchemasFields) {
  nlohmann::json schema = schemacheck::Schema();
  ASSERT_FALSE(schema.is_discarded());
  std::string readme = ReadFile(FWUTIL_README);
  for (const char* which : {"report", "bench"}) {
    std::string begin = std::string("<!-- ") + which + " fields: made from handset/launcher/report.schema.json -->\n";
    size_t from = readme.find(begin);
    size_t to = readme.find("<!-- end of fields -->", from);
    ASSERT_NE(from, std::string::npos) << begin;
    ASSERT_NE(to, std::string::npos);
    std::string table = FieldsTable(schema["definitions"][which]);
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), table)
        << "README.md's table of the " << which << " fields, as the schema has them:\n"
        << table;
  }
}

// Each next step fwutil prints is one the README gives.
TEST(Report, EveryNextStepIsTheReadmes) {
  std::string readme = ReadFile(FWUTIL_README);
  for (const std::string& step : launcher::NextSteps()) EXPECT_NE(readme.find(step), std::string::npos) << step;
}

// A bench ends with the status of its worst module.
TEST(Report, ABenchEndsWithItsWorstStatus) {
  struct Case {
    std::vector<int> statuses;
    int worst;
  } cases[] = {
      {{0, 0, 0}, 0},     {{0, 11, 0}, 11},      {{11, 10}, 10},  {{10, 12, 11}, 12},
      {{143, 10}, 10},    {{11, 143}, 143},      {{13, 14}, 13},  {{2, 11}, 11},
      {{125, 0}, 125},
  };
  for (const Case& c : cases) EXPECT_EQ(launcher::WorstStatus(c.statuses), c.worst) << ::testing::PrintToString(c.statuses);
}

}  // namespace
