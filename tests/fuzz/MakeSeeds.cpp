// The seed corpora of the fuzz targets (tests/fuzz/corpus/), made reproducibly:
// - the device dialogue's seeds are recorded from the simulators' shells (tools/devsim), run in
//   this process behind the memory line, for each operation of both drivers, with and without
//   the simulators' error answers; the command lines and answers in them seed the answer parsers
//   and the serial reads;
// - the other seeds are the examples and edge cases of the unit tests and the device notes.
// Inputs that found a fault are kept in the corpus as fault-*, beside the seeds made here.
// With --check it only runs the dialogues and checks that each operation gives what the
// simulator's card makes it give, and gives the same again when the recorded answers are played
// back as the fuzz target plays its inputs: so the memory line is shown to carry whole dialogues
// as a real line does, and the seeds to be whole dialogues.
//
//   fuzz_make_seeds --write tests/fuzz/corpus
//   fuzz_make_seeds --check
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DeviceDialogue.h"
#include "DialogueScript.h"
#include "FuzzCheck.h"
#include "ShellPeer.h"

namespace fs = std::filesystem;

namespace {

const std::string kSep = "\xFF\xFF";

using TKind = fuzz::TOperationKind;

fuzz::TOperation Op(TKind Kind, uint8_t Path = 0, uint8_t Second = 0, bool Abort = false) {
  fuzz::TOperation op;
  op.Kind = Kind;
  op.Path = Path;
  op.Second = Second;
  op.Abort = Abort;
  return op;
}

struct TScenario {
  const char* Name;
  bool Flipper;
  std::vector<fuzz::TOperation> Operations;
  std::vector<bool> Expected;
  std::map<std::string, int> Errors;  // commands the simulator answers with its error form
};

// Folder and file indexes of the operation tables (support/DialogueScript.h).
enum : uint8_t { kTop = 0, kSub = 1, kEmptyOrInt = 2, kNewFolder = 3 };
enum : uint8_t { kSample = 0, kSecond = 1, kBig = 2, kMissing = 3 };
enum : uint8_t { kEmptyUpload = 0, kOneByte = 1, kSmall = 2, kTwoBlocks = 3 };

std::vector<TScenario> Scenarios() {
  const bool PP = false, FZ = true;
  return {
      {"pp-list-root", PP, {Op(TKind::List, kTop)}, {true}, {}},
      {"pp-list-apps-get", PP, {Op(TKind::List, kSub), Op(TKind::Get, kSample)}, {true, true}, {}},
      {"pp-list-empty", PP, {Op(TKind::List, kEmptyOrInt)}, {true}, {}},
      {"pp-get-two-blocks", PP, {Op(TKind::Get, kBig)}, {true}, {}},
      {"pp-get-abort", PP, {Op(TKind::Get, kBig, 0, true)}, {false}, {}},
      {"pp-get-missing", PP, {Op(TKind::Get, kMissing)}, {false}, {}},
      {"pp-probe", PP, {Op(TKind::Probe, kSample), Op(TKind::Probe, kMissing)}, {true, true}, {}},
      {"pp-size", PP, {Op(TKind::Size, kSecond), Op(TKind::Size, kMissing)}, {true, false}, {}},
      {"pp-put-size",
       PP,
       {Op(TKind::Put, kMissing, kSmall), Op(TKind::Size, kMissing)},
       {true, true},
       {}},
      {"pp-put-two-blocks", PP, {Op(TKind::Put, kBig, kTwoBlocks)}, {true}, {}},
      {"pp-put-empty", PP, {Op(TKind::Put, kMissing, kEmptyUpload)}, {true}, {}},
      {"pp-put-abort", PP, {Op(TKind::Put, kMissing, kOneByte, true)}, {false}, {}},
      {"pp-delete-list", PP, {Op(TKind::Delete, kSecond), Op(TKind::List, kTop)}, {true, true}, {}},
      {"pp-mkdir-list",
       PP,
       {Op(TKind::MakeDir, kNewFolder), Op(TKind::List, kNewFolder)},
       {true, true},
       {}},
      {"pp-mkdir-exists", PP, {Op(TKind::MakeDir, kSub)}, {true}, {}},
      {"pp-rename", PP, {Op(TKind::Rename, kSample, 0), Op(TKind::List, kTop)}, {true, true}, {}},
      {"pp-rename-case", PP, {Op(TKind::Rename, kSample, 2)}, {false}, {}},
      {"pp-rename-no-folder", PP, {Op(TKind::Rename, kSample, 3)}, {false}, {}},
      {"pp-error-frb", PP, {Op(TKind::Get, kSample)}, {false}, {{"frb", 1}}},
      {"pp-error-fwb", PP, {Op(TKind::Put, kMissing, kSmall)}, {false}, {{"fwb", 1}}},
      {"pp-error-fopen",
       PP,
       {Op(TKind::Get, kSample), Op(TKind::List, kTop)},
       {false, true},
       {{"fopen", 7}}},
      {"pp-error-unlink", PP, {Op(TKind::Delete, kSample)}, {false}, {{"unlink", 7}}},
      {"pp-four-operations",
       PP,
       {Op(TKind::List, kTop), Op(TKind::Get, kSecond), Op(TKind::Put, kMissing, kOneByte),
        Op(TKind::Delete, kMissing)},
       {true, true, true, true},
       {}},

      {"fz-list-ext", FZ, {Op(TKind::List, kTop)}, {true}, {}},
      {"fz-list-subghz-get",
       FZ,
       {Op(TKind::List, kSub), Op(TKind::Get, kSecond)},
       {true, true},
       {}},
      {"fz-list-int", FZ, {Op(TKind::List, kEmptyOrInt)}, {true}, {}},
      {"fz-get-chunks", FZ, {Op(TKind::Get, kBig)}, {true}, {}},
      {"fz-get-abort", FZ, {Op(TKind::Get, kBig, 0, true)}, {false}, {}},
      {"fz-get-missing", FZ, {Op(TKind::Get, kMissing)}, {false}, {}},
      {"fz-probe", FZ, {Op(TKind::Probe, kSample), Op(TKind::Probe, kMissing)}, {true, true}, {}},
      {"fz-size", FZ, {Op(TKind::Size, kSecond), Op(TKind::Size, kMissing)}, {true, false}, {}},
      {"fz-put-size",
       FZ,
       {Op(TKind::Put, kMissing, kSmall), Op(TKind::Size, kMissing)},
       {true, true},
       {}},
      {"fz-put-two-chunks", FZ, {Op(TKind::Put, kBig, kTwoBlocks)}, {true}, {}},
      {"fz-put-empty", FZ, {Op(TKind::Put, kMissing, kEmptyUpload)}, {true}, {}},
      {"fz-put-abort", FZ, {Op(TKind::Put, kMissing, kSmall, true)}, {false}, {}},
      {"fz-delete-list", FZ, {Op(TKind::Delete, kSecond), Op(TKind::List, kSub)}, {true, true}, {}},
      {"fz-mkdir-list",
       FZ,
       {Op(TKind::MakeDir, kNewFolder), Op(TKind::List, kNewFolder)},
       {true, true},
       {}},
      {"fz-mkdir-exists", FZ, {Op(TKind::MakeDir, kSub)}, {true}, {}},
      {"fz-rename", FZ, {Op(TKind::Rename, kSample, 0), Op(TKind::List, kTop)}, {true, true}, {}},
      {"fz-rename-no-folder", FZ, {Op(TKind::Rename, kSample, 3)}, {false}, {}},
      {"fz-error-read-chunks", FZ, {Op(TKind::Get, kSample)}, {false}, {{"read_chunks", -1}}},
      {"fz-error-write-chunk",
       FZ,
       {Op(TKind::Put, kMissing, kSmall)},
       {false},
       {{"write_chunk", -1}}},
      {"fz-error-list", FZ, {Op(TKind::List, kSub)}, {false}, {{"list", -1}}},
      {"fz-four-operations",
       FZ,
       {Op(TKind::List, kTop), Op(TKind::Get, kSample), Op(TKind::Put, kMissing, kOneByte),
        Op(TKind::Delete, kMissing)},
       {true, true, true, true},
       {}},
  };
}

void WriteFile(const fs::path& Path, const std::string& Bytes) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary) << Bytes;
}

// Text lines, so that no file content holds the segment separator.
std::string Lines(size_t Size, const std::string& Label) {
  std::string text;
  for (size_t n = 0; text.size() < Size; ++n) text += Label + " line " + std::to_string(n) + "\r\n";
  return text.substr(0, Size);
}

// The card of a scenario, as the operation tables expect it.
void MakeCard(const fs::path& Root, bool Flipper) {
  fs::remove_all(Root);
  if (Flipper) {
    WriteFile(Root / "ext" / "sample.txt", "hello from the Flipper\n");
    WriteFile(Root / "ext" / "subghz" / "My Garage.sub",
              "Filetype: Flipper SubGhz Key File\nVersion: 1\nFrequency: 433920000\n");
    WriteFile(Root / "int" / "big.bin", Lines(1500, "flipper"));
    WriteFile(Root / "int" / "note.txt", "note\n");
  } else {
    WriteFile(Root / "sample.txt", "hello from the PortaPack\n");
    WriteFile(Root / "my file.txt", "a file with a blank in its name\n");
    WriteFile(Root / "big.bin", Lines(40000, "portapack"));
    WriteFile(Root / "APPS" / "app.bin", "app\n");
    fs::create_directories(Root / "EMPTY");
  }
}

// A line the host typed: printable, ended by CR (and LF).
bool IsCommandLine(const std::string& Sent, std::string& Command) {
  size_t end = Sent.size();
  if (end > 0 && Sent[end - 1] == '\n') --end;
  if (end == 0 || Sent[end - 1] != '\r' || end > 200) return false;
  Command = Sent.substr(0, end - 1);
  for (unsigned char c : Command)
    if (c < 32 || c >= 127) return false;
  return !Command.empty();
}

// The seed corpora under Root. The seeds made here replace those made before; the inputs that
// once found a fault (fault-*) stay.
class TCorpus {
 public:
  explicit TCorpus(fs::path Root) : Root_(std::move(Root)) {
    std::error_code ec;
    for (const fs::directory_entry& target : fs::directory_iterator(Root_, ec))
      for (const fs::directory_entry& file : fs::directory_iterator(target.path(), ec))
        if (file.path().filename().string().rfind("fault-", 0) != 0) fs::remove(file.path(), ec);
  }
  void Add(const std::string& Target, const std::string& Name, const std::string& Bytes) {
    if (!Seen_[Target].insert(Bytes).second) return;
    WriteFile(Root_ / Target / Name, Bytes);
    ++Written_;
  }
  size_t Written() const { return Written_; }

 private:
  fs::path Root_;
  std::map<std::string, std::set<std::string>> Seen_;
  size_t Written_ = 0;
};

std::string Join(const std::vector<std::string>& Pieces) {
  std::string out;
  for (size_t i = 0; i < Pieces.size(); ++i) out += (i ? kSep : "") + Pieces[i];
  return out;
}

// Calls of the exports that make the same dialogue as a recorded scenario (the host passes the
// paths of its operations), for the host_calls target: its calls (two bytes each, see
// targets/host_calls.cpp) and the three texts their paths are made of.
struct THostCalls {
  const char* Scenario;
  std::string Calls;
  std::vector<std::string> Texts;
};

// A path byte of host_calls: text T behind root folder R (1 PortaPack, 2 Flipper), and a second.
char Paths(int T, int R, int T2 = 0, int R2 = 0) {
  return static_cast<char>((T | R << 2) | (T2 | R2 << 2) << 4);
}

void AddHostCalls(TCorpus& Corpus, const std::string& Scenario,
                  const std::vector<std::string>& Segments) {
  // Exports: 0 FsFindFirst, 2 FsGetFile, 3 FsPutFile, 4 FsRenMovFile, 5 FsDeleteFile, 7 FsMkDir;
  // 0x10 is FS_COPYFLAGS_OVERWRITE (no existence test first), for a rename Move, 0x20 OverWrite.
  const THostCalls table[] = {
      {"pp-list-apps-get",
       {'\x00', Paths(0, 1), '\x12', Paths(1, 1)},
       {"\\APPS", "\\sample.txt", ""}},
      {"pp-get-two-blocks", {'\x12', Paths(0, 1)}, {"/big.bin", "", ""}},
      {"pp-put-size", {'\x13', Paths(0, 1)}, {"/new.txt", "", ""}},
      {"pp-delete-list", {'\x05', Paths(0, 1), '\x00', Paths(1, 1)}, {"/my file.txt", "", ""}},
      {"pp-mkdir-list", {'\x07', Paths(0, 1), '\x00', Paths(0, 1)}, {"/new dir", "", ""}},
      {"fz-list-subghz-get",
       {'\x00', Paths(0, 2), '\x12', Paths(1, 2)},
       {"/ext/subghz", "/ext/subghz/My Garage.sub", ""}},
      {"fz-put-size", {'\x13', Paths(0, 2)}, {"/ext/new.sub", "", ""}},
      {"fz-rename",
       {'\x34', Paths(0, 2, 1, 2), '\x00', Paths(2, 2)},
       {"/ext/sample.txt", "/ext/renamed.txt", "/ext"}},
  };
  for (const THostCalls& host : table) {
    if (Scenario != host.Scenario) continue;
    std::vector<std::string> pieces = {host.Calls};
    pieces.insert(pieces.end(), host.Texts.begin(), host.Texts.end());
    pieces.insert(pieces.end(), Segments.begin(), Segments.end());
    Corpus.Add("host_calls", Scenario, Join(pieces));
  }
}

// Runs every scenario against the simulators; with a corpus, records the seeds.
bool RecordDialogues(TCorpus* Corpus) {
  char pattern[] = "/tmp/quarnel-fuzz-seeds-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr, "no scratch folder");
  const fs::path card = fs::path(pattern) / "card";
  bool ok = true;
  for (const TScenario& scenario : Scenarios()) {
    MakeCard(card, scenario.Flipper);
    fuzz::TShellPeer peer(scenario.Flipper, card.string(), scenario.Errors);
    const std::vector<bool> results =
        fuzz::RunDialogue(scenario.Flipper, scenario.Operations, peer);
    if (results != scenario.Expected) {
      std::string got;
      for (bool result : results) got += result ? " true" : " false";
      std::fprintf(stderr, "%s: operation results differ from the simulator's card:%s\n",
                   scenario.Name, got.c_str());
      ok = false;
    }
    fuzz::TDialogueScript script;
    script.Flipper = scenario.Flipper;
    script.Operations = scenario.Operations;
    for (const fuzz::TShellPeer::TExchange& exchange : peer.Exchanges()) {
      FUZZ_CHECK(exchange.Answer.find(kSep) == std::string::npos, "an answer holds the separator");
      script.Segments.push_back(std::string(1, '\0') + exchange.Answer);
    }
    // The recorded answers, played back as the fuzz target plays its inputs, give the same.
    const fuzz::TDialogueScript seed = fuzz::TDialogueScript::Read(
        reinterpret_cast<const uint8_t*>(script.Write().data()), script.Write().size());
    fuzz::TScriptedDevice scripted(seed.Segments);
    if (fuzz::RunDialogue(seed.Flipper, seed.Operations, scripted) != results) {
      std::fprintf(stderr, "%s: the recorded dialogue plays back otherwise\n", scenario.Name);
      ok = false;
    }
    if (!Corpus) continue;
    const std::string parser = scenario.Flipper ? "flipper_answers" : "portapack_answers";
    int n = 0;
    for (const fuzz::TShellPeer::TExchange& exchange : peer.Exchanges()) {
      std::string command;
      if (IsCommandLine(exchange.Sent, command) && exchange.Answer.size() < 4096) {
        const std::string name = std::string(scenario.Name) + "-" + std::to_string(++n);
        Corpus->Add(parser, name, command + kSep + exchange.Answer);
        // The same answer read up to the prompt behind its echo, a byte or a piece at a time.
        const std::string prompts = scenario.Flipper ? "\r\n>: " : "\r\nch> ";
        Corpus->Add("serial_reads", name,
                    std::string("\x00", 1) + static_cast<char>(n % 3 == 0 ? 1 : 7) + kSep +
                        exchange.Sent.substr(0, exchange.Sent.find('\r')) + "\r\n" + kSep +
                        prompts + kSep + exchange.Answer);
      }
    }
    Corpus->Add("device_dialogue", scenario.Name, script.Write());
    AddHostCalls(*Corpus, scenario.Name, script.Segments);
  }
  fs::remove_all(pattern);
  return ok;
}

// ---- The other targets' seeds: examples and edge cases --------------------------------------

void AddTable(TCorpus& Corpus, const std::string& Target,
              const std::vector<std::vector<std::string>>& Rows) {
  int n = 0;
  for (const auto& row : Rows) Corpus.Add(Target, "example-" + std::to_string(++n), Join(row));
}

const std::string kNul(1, '\0');

void AddExamples(TCorpus& Corpus) {
  AddTable(Corpus, "text_utils",
           {{"a\r\nb\n\rc\rd"},
            {"\t" + kNul + " x \r\n"},
            {"  12 "},
            {"-9223372036854775808"},
            {"9223372036854775807"},
            {"9223372036854775808"},
            {"+0012"},
            {"-"},
            {"12 34"},
            {"\xc3\xa4\xc3\x84.txt \xd0\xb6\xd0\x96 \xe4\xc4 \xff"},
            {"\xe0\x80\x80 \xc0\xaf \xed\xa0\x80 \xf0\x9f\x98\x80"},
            {"User abort"}});
  // UTF-8 names in several languages, pieces that are not UTF-8, code page 850 bytes, and
  // UTF-16 pairs (a surrogate pair, a lone surrogate).
  AddTable(Corpus, "unicode_text",
           {{"Gr\xc3\xbc\xc3\x9f \xce\xb1\xce\xb2\xce\xb3 \xe6\x97\xa5\xe6\x9c\xac "
             "\xf0\x9f\x98\x80.txt"},
            {"\xe0\x80\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe6\x97 \x80 \xff"},
            {"M\x81ller \x84\x8e \xe1 \xfd.sub"},
            {std::string("a\0b\0=\xd8\x00\xde\x00\xd8\0\0\xdcz\0", 16)},
            {std::string(120, 'n') + std::string(60, '\xce') + "\xce\xb1" + std::string(90, 'z')},
            {"?*\\/:\"<>|" + kNul + "tail"}});
  AddTable(Corpus, "portapack_answers",
           {{"ls /X", "ls /X\r\na.txt 12\r\nch> "},
            {"ls /X", "ch> ls /X\r\nAPPS/\r\nb\r\nch> "},
            {"ls /X", "ls /X\r\n\x1b[2J\r\n  \r\n\tok  \r\n\r\nch> "},
            {"fopen /a", "fopen /a\rok\rch> "},
            {"ls /x",
             "ls /x\r\nd  SCREENSHOTS\r\nmy file.txt 1234\r\nerrors.log\r\nd 1.txt\r\n"
             "Take 2\r\n../\r\nusage: ls /\r\nch> "},
            {"filesize /a", "filesize /a\r\nError calling delete_file: 4 no file\r\nch> "},
            {"filesize /a", "filesize /a\r\n4294967295\r\nok\r\nch> "},
            {"filesize /a", "filesize /a\r\n-5\r\n7\r\nch> "},
            {"unlink /a b c d e f g", "unlink /a b c d e f g\r\ntoo many arguments\r\nch> "},
            {"fopen /a", "fopen /a\r\nfile already open\r\nch> "},
            {"mkdir /a", "mkdir /a\r\nmkdir ?\r\nch> "},
            {"mkdir /a", "mkdir /a\r\ndirectory already exists.\r\nch> "},
            {"fwb 10", "fwb 10\r\nsend 10 bytes\r\n"},
            {"frb 5", "frb 5\r\nhello\r\nok\r\nch> "},
            {"frb 5", "frb 5\r\nhelch> "},
            {"fwb 3",
             "fwb 3\r\nusage: fwb <number of bytes>\r\nfollowed by <number of bytes> of "
             "datach> "},
            {"ls /", "ls /\r\nch> ch> ls /\r\nch> "},
            {"crc32 /a.txt", "crc32 /a.txt\r\nCRC32: 0x1A2b3C4d\r\nch> "},
            {"crc32 /a.txt", "crc32 /a.txt\r\ncrc32 ?\r\nch> "},
            {"crc32 /a.txt", "crc32 /a.txt\r\ncrc32: 0X0123456\r\nCRC32: 0xFFFFFFFF0\r\nch> "}});
  AddTable(Corpus, "portapack_paths",
           {{"\\APPS\\app.bin", "/apps/APP.BIN"},
            {"//a//b/", "a\\b"},
            {"/my file.txt", "/MY FILE.TXT."},
            {"/a  b", "/a b "},
            {"/" + std::string(53, 'a'), "/" + std::string(54, 'b')},
            {"/a b c d e f", "/a b c d e f g"},
            {"/x?y", "/q\"*:<>|"},
            {"/\xc3\xa4\xc3\xb6\xc3\xbc.txt", "/\xc3\x84\xc3\x96\xc3\x9c.TXT"},
            {"/\xe4.txt", "/\xc4.txt"},
            {"/\xd0\xb6/\xd1\x90", "/\xd0\x96/\xd0\x80"},
            {"/a\tb", "/a\rls /"},
            {"", "/"}});
  AddTable(
      Corpus, "flipper_answers",
      {{"storage list /ext",
        "storage list /ext\r\n\t[D] apps\r\n\t[F] notes 2.txt 1234b\r\n\r\n>: "},
       {"storage list /int", ">: storage list /int\r\n\tEmpty\r\n>: "},
       {"foo", "foo\r\n\x1b[31mcould not find command `foo`, try `help`\x1b[0m\r\n>: "},
       {"storage list /x",
        "storage list /x\r\n[D]  My Folder  \r\n[F]   spaced   name   7b\r\n[F] units.bin "
        "99KiB\r\n[F] dotted.bin 12.5b\r\n[d] lower\r\n[X] other\r\n[D]\r\n\r\n>: "},
       {"storage list /x", "storage list /x\r\nStorage error: file/dir not exist\r\n>: "},
       {"storage stat /ext/x", "storage stat /ext/x\r\nFile, size: 1234b\r\n\r\n>: "},
       {"storage stat /ext", "storage stat /ext\r\nStorage, 100KiB total, 50KiB free\r\n>: "},
       {"storage stat /ext/d", "storage stat /ext/d\r\nDirectory\r\n\r\n>: "},
       {"storage stat /x", "size: 99999999999999999999999b\r\nsize: 12x34\r\n"},
       {"storage md5 /ext/x", "storage md5 /ext/x\r\n0123456789ABCDEFabcdef0123456789\r\n\r\n>: "},
       {"storage md5 /ext/x",
        "storage md5 /ext/x\r\n 0123456789abcdef0123456789abcde \r\n"
        "Storage error: file/dir not exist\r\n>: "},
       {"storage read_chunks /ext/a 512",
        "storage read_chunks /ext/a 512\r\nSize: 4294967296"
        "\r\n\r\nReady?\r\n"},
       {"storage write_chunk /ext/a 3", "storage write_chunk /ext/a 3\r\nReady\r\n"},
       {"", ">:\r\n:\r\n >: \r\n>:x\r\n"}});
  AddTable(Corpus, "flipper_paths",
           {{"/ext/My Garage.sub", "/int/a-b_c.(1)~!#$%&'+,;=@[]^`{}"},
            {"\\ext\\x y\\z", "/ext/new dir/x.sub"},
            {"/ext/a\"b", "/ext/a\rstorage remove /ext/keep"},
            {"/ext/M\xc3\xbcll", "/ext/\x7f"},
            {"/", ""}});
  AddTable(Corpus, "serial_reads",
           {{std::string("\x00\x01", 2), "ls /X\r\n", "\r\nch> ", "ch>",
             "ch> \r\nls /X\r\na.txt\r\nch> "},
            {std::string("\x00\x00", 2), "", "ch> ", "ch>", "no prompt here"},
            {std::string("\x00\x05", 2), "storage stat /ext\r\n",
             "\r\n>: ", ">:", ">: storage stat /ext\r\nDirectory\r\n\r\n>: "},
            {std::string("\x01\x01", 2), "a\r\nb\n\rc\r\r\nd"},
            {std::string("\x01\x03", 2), "line\r"},
            {std::string("\x02\x07\x03", 3), "0123456789abcdefghij"},
            {std::string("\x03\x10", 2), "drained bytes"}});
  // The root listing, the root name in a small buffer, a settings name without its end, a
  // disconnect: no device is needed.
  AddTable(Corpus, "host_calls",
           {{std::string("\x01\x00\x09\x05\x0a\x01\x08\x04\x02\x0f", 10), "\\x", "", ""}});
  AddTable(
      Corpus, "settings_file",
      {{"[Quarnel]\r\nPortapackSizes=25\r\n"},
       {"\xEF\xBB\xBF; a comment\n[quarnel]\n portapacksizes = 0 \n"},
       {"[Other]\nPortapackSizes=5\n[Quarnel]\nPortapackSizes=99999999999\nPortapackSizes=3\n"},
       {"[Quarnel\nPortapackSizes=-1\n#PortapackSizes=1\n=5\nno equals sign\n"},
       {"[ Quarnel ]\nPortapackSizes=+12\n[Quarnel]x\nPortapackSizes=4294967296"}});
  AddTable(Corpus, "plugin_paths",
           {{"\\PortaPack (COM5)\\APPS\\app.bin", "PortaPack (COM9)", "COM5", "flip_Abc1", "x.txt",
             "\x01\x02"},
            {"/Flipper Zero Abc1 (ttyACM0)/ext/x", "HackRF One (COM12, no shell)", "\x01 12",
             "FLIP_a,b", std::string(300, 'n'), "\xff\xff\xff\xff\xff\xff\xff\xff"},
            {"\\", "Flipper Zero a,b (COM4)", "", "flip_", "", ""},
            {"", "PortaPack (COM9", "ttyUSB7", "6&2A3F&0&0000", "a", ""},
            {"\\\\x", "PortaPack COM9", "9", "flip_x(COM3)", "", ""},
            {"/Flipper Zero x (COM9) (ttyACM5)/int", "Flipper Zero x (COM9) (ttyACM5)", "ttyACM5",
             "flip_x (COM9)", "", ""},
            {"\\Flipper Zero  (COM1)", "HackRF One (COM3)", "COM1", "flip_a)b", "", ""}});
  AddTable(Corpus, "sysfs_ports",
           {{"PortaPack Mayhem\n", "0000000000000000a06063c82338145f\n", "1d50\n", "6018\n"},
            {"Flipper Test1\n", "flip_Test1\n", "0483\n", "5740\n"},
            {"HackRF One\n", "", " 1D50 \t\n", "6089\r\n"},
            {std::string(60, 'x') + std::string(60, '\xc3') + "\n", "a/b\\c\x01\x7f\n", "12345\n",
             "zz\n"},
            {"pro" + kNul + "duct\n", "", "", ""},
            {"PortaPack Mayhem\n", "flip_x"}});
  // A registry value: where it goes (see targets/registry_ports.cpp), its type index, its data.
  auto value = [](int Where, int Type, const std::string& Data) {
    return std::string(1, static_cast<char>(Where)) + static_cast<char>(Type) + Data;
  };
  const int kSerialComm = 4, kPortName = 0, kFriendly = 1, kDesc = 2, kHardware = 3;
  auto at = [](int Slot, int Instance) { return Slot | Instance << 3; };
  AddTable(
      Corpus, "registry_ports",
      {{value(kSerialComm, 0, "COM5" + kNul), value(at(kPortName, 0), 0, "COM5" + kNul),
        value(at(kFriendly, 0), 0, "USB Serial Device (COM5)" + kNul),
        value(at(kHardware, 0), 2,
              "USB\\VID_1D50&PID_6018&REV_0100" + kNul + "USB\\VID_1D50&PID_6018" + kNul + kNul)},
       {value(kSerialComm, 0, "COM7" + kNul), value(at(kPortName, 1), 0, "com7"),
        value(at(kFriendly, 1), 0, "Flipper" + kNul),
        value(at(kHardware, 1), 2, "USB\\VID_0483&PID_5740" + kNul + kNul),
        value(at(kSerialComm, 1), 0, "COM7" + kNul)},
       {value(kSerialComm, 3, "COM9"), value(at(kPortName, 3), 0, "COM9" + kNul),
        value(at(kDesc, 3), 1, "Mayhem"), value(at(kHardware, 3), 4, "\x01\x02\x03\x04"),
        value(at(kSerialComm, 1), 2, kNul + kNul)},
       {value(kSerialComm, 0, std::string(300, 'C')),
        value(at(kPortName, 2), 0, std::string(300, 'C')),
        value(at(kDesc, 2), 0, "Device Desc" + kNul),
        value(at(kHardware, 2), 0, "VID_12345&PID_1")}});
}

}  // namespace

int main(int Argc, char** Argv) {
  const std::string mode = Argc > 1 ? Argv[1] : "";
  if (!(mode == "--check" && Argc == 2) && !(mode == "--write" && Argc == 3)) {
    std::fprintf(stderr, "usage: %s --check | --write CORPUS-FOLDER\n", Argv[0]);
    return 2;
  }
  fuzz::PrepareDialogues();
  if (mode == "--check") {
    const bool ok = RecordDialogues(nullptr);
    std::printf("%s\n", ok ? "every simulated dialogue gave the expected results" : "FAILED");
    return ok ? 0 : 1;
  }
  TCorpus corpus(Argv[2]);
  const bool ok = RecordDialogues(&corpus);
  AddExamples(corpus);
  std::printf("%zu seed files written to %s\n", corpus.Written(), Argv[2]);
  return ok ? 0 : 1;
}
