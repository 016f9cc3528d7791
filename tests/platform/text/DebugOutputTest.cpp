// Unit test of the stand-in's debug output: NKDbgPrintfW formats as
// wsprintfW does and hands the text, verbatim, to the installed sink.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "kernel/DebugOutput.h"

namespace {

TEST(FormatTest, DebugOutputReceivesFormattedTextVerbatim) {
  auto sink = std::make_shared<debugout::MemorySink>();
  auto previous = debugout::SetSink(sink);
  NKDbgPrintfW(TEXT("Waiting for char -> %X h\r\n"), 0xA0);
  NKDbgPrintfW(TEXT(" %d char : %X h sent \r\n"), 1, 0x55);
  debugout::SetSink(previous);
  ASSERT_EQ(sink->Texts().size(), 2u);
  EXPECT_EQ(sink->Texts()[0], u"Waiting for char -> A0 h\r\n");
  EXPECT_EQ(sink->Texts()[1], u" 1 char : 55 h sent \r\n");
}

}  // namespace
