// The PortaPack driver's parsers and line checks on answer strings, without a port.
#include <gtest/gtest.h>

#include <random>

#include "devices/uPortapackParse.h"
#include "serial/uSerial.h"

namespace {

using namespace portapack;

TEST(PortapackExtractBody, EchoPromptsEscapesAndBlankLines) {
  struct {
    const char* Response;
    const char* Cmd;
    const char* Body;
  } cases[] = {
      {"ls /X\r\na.txt 12\r\nch> ", "ls /X", "a.txt 12"},
      // The previous prompt with the echo behind it, on one line.
      {"ch> ls /X\r\nAPPS/\r\nb\r\nch> ", "ls /X", "APPS/\nb"},
      {"ch> \r\nls /X\r\nch>", "ls /X", ""},
      {"ls /X\r\n\x1b[2J\r\n  \r\n\tok  \r\n\r\nch> ", "ls /X", "ok"},
      // A lone CR ends a line too; lines are trimmed.
      {"fopen /a\rok\rch> ", "fopen /a", "ok"},
      // Comparisons are exact: another command's echo is body.
      {"LS /X\r\nch> ", "ls /X", "LS /X"},
      {"ch> something\r\nch>", " ls /X ", "something"},
      // Without a command nothing counts as echo.
      {"\r\nfoo\r\nch> ", "", "foo"},
      {"", "ls /", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtractBody(c.Response, c.Cmd), c.Body) << c.Response;
}

TEST(PortapackFindMarker, TableOrderDecidesAndSplitMarkersAreFound) {
  const auto& m = PromptMarkers();
  EXPECT_EQ(TSerialPort::FindMarker("ls /X\r\na.txt 12\r\nch> ", m, 0), 0);
  EXPECT_EQ(TSerialPort::FindMarker("ls /X\r\nch>", m, 0), 1);
  EXPECT_EQ(TSerialPort::FindMarker("ls /X\rch>", m, 0), 3);
  EXPECT_EQ(TSerialPort::FindMarker("ch>", m, 0), 5);
  // A prompt split across two reads: only the new bytes (from 5 on) and what may join them count.
  EXPECT_EQ(TSerialPort::FindMarker("ab\r\nch> ", m, 5), 0);
  EXPECT_EQ(TSerialPort::FindMarker("ch> ab", m, 5), -1);
  EXPECT_EQ(TSerialPort::FindMarker("c", BlockPromptMarkers(), 0), -1);
  // Behind a base (the end of a command's echo) only: a late prompt before it does not count.
  EXPECT_EQ(TSerialPort::FindMarker("ok\r\nch> ls /\r\n", m, 0, 14), -1);
  EXPECT_EQ(TSerialPort::FindMarker("ok\r\nch> ls /\r\nch> ", m, 0, 14), 4);
}

TEST(PortapackAnswerVerdict, ErrorWordsAndShellRefusals) {
  struct {
    const char* Body;
    const char* Cmd;
    bool ErrorWord;
    bool Refusal;
  } cases[] = {
      {"ok", "unlink /a", false, false},
      {"directory already exists.", "mkdir /a", false, false},
      {"Error calling delete_file: 4 no file", "unlink /a", true, false},
      {"Error: file not found", "unlink /a", true, false},
      {"write FAILED", "unlink /a", true, false},
      {"invalid", "unlink /a", true, false},
      // A plain substring test: a name holding FAIL counts as well.
      {"/FAILSAFE.TXT", "unlink /a", true, false},
      {"usage: unlink <path>", "unlink /a b", false, true},
      {"Usage: exit", "exit x", false, true},
      {"too many arguments", "unlink /a b c d e f g", false, true},
      {"file already open", "fopen /a", false, true},
      {"no open file", "fseek 0", false, true},
      {"mkdir ?", "mkdir /a", false, true},
      {"rm ?", "mkdir /a", false, false},
      {"", "unlink /a", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HasErrorWord(c.Body), c.ErrorWord) << c.Body;
    EXPECT_EQ(IsRefusal(c.Body, c.Cmd), c.Refusal) << c.Body;
  }
}

TEST(PortapackListLine, Grammar) {
  using K = TListLineKind;
  struct {
    const char* Line;
    K Kind;
    const char* Name;
    bool IsDir;
    int64_t Size;
  } cases[] = {
      {"APPS/", K::Entry, "APPS", true, 0},
      {"d  SCREENSHOTS", K::Entry, "SCREENSHOTS", true, 0},
      {"d\tX", K::Entry, "X", true, 0},
      {"my file.txt 1234", K::Entry, "my file.txt", false, 1234},
      {"a\t12", K::Entry, "a", false, 12},
      {"README", K::Entry, "README", false, 0},
      {"foo bar", K::Entry, "foo bar", false, 0},
      {"x -5", K::Entry, "x -5", false, 0},
      {"D X", K::Entry, "D X", false, 0},
      {"  spaced name/  ", K::Entry, "spaced name", true, 0},
      {"dir with blank /", K::Entry, "dir with blank", true, 0},
      {"/", K::Dropped, "", true, 0},
      {".", K::Dropped, ".", false, 0},
      {"../", K::Dropped, "..", true, 0},
      {" \t ", K::Blank, "", false, 0},
      {"usage: ls /", K::Usage, "", false, 0},
      {"Error calling delete_file: 5 no path", K::Error, "", false, 0},
      {"Directory Not Found", K::Error, "", false, 0},
      {"errors.log", K::Error, "", false, 0},
  };
  for (const auto& c : cases) {
    TListLine parsed = ParseListLine(c.Line);
    EXPECT_EQ(parsed.Kind, c.Kind) << c.Line;
    if (c.Kind != K::Entry && c.Kind != K::Dropped) continue;
    EXPECT_EQ(parsed.Entry.Name, c.Name) << c.Line;
    EXPECT_EQ(parsed.Entry.IsDir, c.IsDir) << c.Line;
    EXPECT_EQ(parsed.Entry.Size, c.Size) << c.Line;
    EXPECT_FALSE(parsed.Entry.HasTime);
  }
  EXPECT_EQ(ParseListLine("  Usage: x ").Line, "Usage: x");
}

TEST(PortapackSizeAnswer, FirstNumberUnlessAnErrorComesFirst) {
  using K = TSizeAnswerKind;
  struct {
    const char* Body;
    K Kind;
    int64_t Size;
    const char* ErrorLine;
  } cases[] = {
      {"123\nok", K::Size, 123, ""},
      {"0\nok", K::Size, 0, ""},
      {"hello\n42\nok", K::Size, 42, ""},
      {"-5\n7", K::Size, 7, ""},
      {"4294967295\nok", K::Size, 4294967295, ""},
      {" Error calling delete_file: 4 no file ", K::Error, 0,
       "Error calling delete_file: 4 no file"},
      {"x\nerror\n5", K::Error, 0, "error"},
      {"5\nerror", K::Size, 5, ""},
      {"ok", K::None, 0, ""},
      {"12 34\n1e3", K::None, 0, ""},
      {"", K::None, 0, ""},
  };
  for (const auto& c : cases) {
    TSizeAnswer answer = ParseSizeAnswer(c.Body);
    EXPECT_EQ(answer.Kind, c.Kind) << c.Body;
    EXPECT_EQ(answer.Size, c.Size) << c.Body;
    EXPECT_EQ(answer.ErrorLine, c.ErrorLine) << c.Body;
  }
}

TEST(PortapackLineChecks, LengthArgumentsAndBlanks) {
  const std::string fits = "filesize /" + std::string(53, 'a');  // 63 characters
  ASSERT_EQ(fits.size(), 63u);
  struct {
    std::string Line;
    const char* Problem;  // a phrase the reason must hold, or "" for none
  } cases[] = {
      {fits, ""},
      {fits + "b", "too long"},
      {"ls /a b c d e f", ""},
      {"ls /a b c d e f g", "too many"},
      {"ls /a\tb\tc d e f g", "too many"},  // tabs split words too
      {"unlink /A B/C D.txt", ""},
      {"unlink /A /B", ""},
      {"unlink /A  B", "two blanks"},
      {"unlink /A ", "ends with a blank"},
      {"fclose", ""},
  };
  for (const auto& c : cases) {
    std::string reason = CommandLineProblem(c.Line);
    if (*c.Problem == 0)
      EXPECT_EQ(reason, "") << c.Line;
    else
      EXPECT_NE(reason.find(c.Problem), std::string::npos) << c.Line << ": " << reason;
  }
}

TEST(PortapackBlockAnswers, ReadyLineAndBlockConfirmation) {
  EXPECT_TRUE(SaysSend("send 512 bytes"));
  EXPECT_TRUE(SaysSend("SEND"));
  EXPECT_FALSE(SaysSend("fwb 512"));
  EXPECT_FALSE(SaysSend("no open file"));
  EXPECT_TRUE(BlockConfirmed("\r\nok\r\nch>"));
  EXPECT_TRUE(BlockConfirmed("\r\nOK\r\nch> "));
  EXPECT_FALSE(BlockConfirmed("ch>"));  // a short read: the prompt follows the data
  EXPECT_FALSE(BlockConfirmed(" calling delete_file: 1 disk error\r\nch>"));
  EXPECT_FALSE(BlockConfirmed("\r\nlocked\r\nch>"));
}

TEST(PortapackCardNames, ParentBaseAndSameEntry) {
  EXPECT_EQ(ParentPath("/a/b c"), "/a");
  EXPECT_EQ(ParentPath("/a"), "/");
  EXPECT_EQ(ParentPath("/"), "/");
  EXPECT_EQ(BaseName("/a/b c"), "b c");
  EXPECT_EQ(BaseName("/a"), "a");
  struct {
    const char* A;
    const char* B;
    bool Same;
  } cases[] = {
      {"/a.txt", "/a.txt", true},
      {"/a.txt", "/A.TXT", true},
      {"/dir/x", "/DIR/X", true},
      {"/a.txt.", "/a.txt", true},
      {"/a.txt", "/b.txt", false},
      {"/dir/x", "/x", false},
      // The card folds letters beyond ASCII too: UTF-8 "ä"/"Ä", Latin-1 bytes, Cyrillic.
      {"/\xc3\xa4.txt", "/\xc3\x84.txt", true},
      {"/\xe4.txt", "/\xc4.txt", true},
      {"/\xd0\xb6", "/\xd0\x96", true},
      {"/\xc3\xa4.txt", "/a.txt", false},
  };
  for (const auto& c : cases) EXPECT_EQ(SameNameOnCard(c.A, c.B), c.Same) << c.A << " " << c.B;
}

// Random bytes through every parser: nothing may read out of bounds or overflow (run under
// the sanitizers), and the results keep their own rules.
TEST(PortapackParsers, SurviveArbitraryBytes) {
  std::mt19937 random(12345);
  std::string alphabet = "ch> \r\n\t\x1b/d0123456789-okOKsendERRORusage.";
  alphabet += '\0';
  alphabet += '\xff';
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 80, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    std::string body = ExtractBody(text, "ls /x");
    EXPECT_EQ(body.find('\r'), std::string::npos);
    TListLine line = ParseListLine(text);
    if (line.Kind == TListLineKind::Entry) {
      EXPECT_FALSE(line.Entry.Name.empty());
      EXPECT_GE(line.Entry.Size, 0);
      EXPECT_TRUE(!line.Entry.IsDir || line.Entry.Size == 0);
    }
    TSizeAnswer size = ParseSizeAnswer(text);
    EXPECT_GE(size.Size, 0);
    HasErrorWord(text);
    IsRefusal(text, text);
    CommandLineProblem(text);
    BlockConfirmed(text);
    SameNameOnCard(text, body);
  }
}

TEST(PortapackListNames, LinesThatReadAsOtherThanAPlainNameAreChecked) {
  struct {
    const char* Line;
    bool Check;
    const char* Name;
    bool IsDir;
  } cases[] = {
      {"errors.log", true, "errors.log", false}, {"NOT FOUND.txt", true, "NOT FOUND.txt", false},
      {"usage.txt", true, "usage.txt", false},   {"d 1.txt", true, "d 1.txt", false},
      {"Take 2", true, "Take 2", false},         {"Error reports/", true, "Error reports", true},
      {"README", false, "README", false},        {"APPS/", false, "APPS", true},
      {"foo bar", false, "foo bar", false},      {"..", false, "..", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NeedsNameCheck(ParseListLine(c.Line)), c.Check) << c.Line;
    TShellFileEntry plain = PlainEntry(c.Line);
    EXPECT_EQ(plain.Name, c.Name);
    EXPECT_EQ(plain.IsDir, c.IsDir) << c.Line;
  }
}

TEST(PortapackAnswers, ErrorResultsNamesAndPayloadWaits) {
  EXPECT_EQ(ErrorResult("Error calling delete_file: 4 no file"), kNoFile);
  EXPECT_EQ(ErrorResult("  Error calling delete_file: 5 no path\r"), kNoPath);
  EXPECT_EQ(ErrorResult("Error calling delete_file: 256 disk full"), 256);
  EXPECT_EQ(ErrorResult("Error calling delete_file: x"), -1);
  EXPECT_EQ(ErrorResult("4 no file"), -1);
  for (const char* name : {"/a?b", "/x>y", "/q\"", "/s*", "/c:d", "/l<t", "/p|p"})
    EXPECT_NE(CardNameProblem(name).find("cannot hold"), std::string::npos) << name;
  EXPECT_EQ(CardNameProblem("/a b/\xc3\xa4.txt"), "");
  EXPECT_TRUE(WaitsForPayload("fwb 10\r\nsend 10 bytes\r\n"));
  EXPECT_FALSE(WaitsForPayload("fwb 10\r\nsend 10 bytes\r\nok\r\nch> "));
  EXPECT_FALSE(WaitsForPayload("ok\r\nch> "));
  EXPECT_FALSE(WaitsForPayload(""));
}

}  // namespace
