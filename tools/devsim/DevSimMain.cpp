// devsim: serves one simulated device's shell on a new pseudo-terminal, for tests, benchmarks
// and the demo. The first line on standard output is the slave's path; diagnostics go to
// standard error. SIGTERM or SIGINT end it cleanly.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "DevSimOptions.h"
#include "Faults.h"
#include "FlipperShell.h"
#include "PortapackShell.h"
#include "PtyLink.h"
#include "Transcript.h"

namespace {

int StopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int SavedErrno = errno;
  char Byte = 1;
  ssize_t Written = write(StopPipe[1], &Byte, 1);
  (void)Written;
  errno = SavedErrno;
}

bool IsDirectory(const std::string& Path) {
  struct stat Info {};
  return stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

bool EnsureDirectory(const std::string& Path) {
  if (IsDirectory(Path)) return true;
  return mkdir(Path.c_str(), 0755) == 0 || IsDirectory(Path);
}

}  // namespace

int main(int Argc, char** Argv) {
  using namespace devsim;
  TOptions Options;
  std::string Error;
  bool Help = false;
  if (!ParseOptions(std::vector<std::string>(Argv + 1, Argv + Argc), Options, Error, Help)) {
    std::fprintf(Help ? stdout : stderr, "%s%s", Help ? "" : "devsim: ", Error.c_str());
    if (!Help) std::fprintf(stderr, "\n%s", UsageText().c_str());
    return Help ? 0 : 2;
  }
  while (Options.Root.size() > 1 && Options.Root.back() == '/') Options.Root.pop_back();
  if (!IsDirectory(Options.Root)) {
    std::fprintf(stderr, "devsim: --root %s is not a folder\n", Options.Root.c_str());
    return 2;
  }
  if (Options.Device == TDeviceKind::Flipper &&
      (!EnsureDirectory(Options.Root + "/int") || !EnsureDirectory(Options.Root + "/ext"))) {
    std::fprintf(stderr, "devsim: cannot create %s/int and %s/ext\n", Options.Root.c_str(),
                 Options.Root.c_str());
    return 2;
  }

  TTranscript Transcript;
  if (!Options.TranscriptPath.empty() && !Transcript.Open(Options.TranscriptPath)) {
    std::fprintf(stderr, "devsim: cannot write %s: %s\n", Options.TranscriptPath.c_str(),
                 std::strerror(errno));
    return 2;
  }

  if (pipe2(StopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("devsim: pipe");
    return 1;
  }
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGTERM, &Action, nullptr);
  sigaction(SIGINT, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TLinkConfig Config;
  Config.PerSessionShell = Options.Device == TDeviceKind::Flipper;
  Config.DiscardInput = Options.Silent;
  Config.RateBytesPerSecond = Options.RateBytesPerSecond;
  Config.LatencyMs = Options.LatencyMs;
  TPtyLink Link(Config, Transcript);
  std::string SlavePath;
  if (!Link.Open(SlavePath, Error)) {
    std::fprintf(stderr, "devsim: %s\n", Error.c_str());
    return 1;
  }
  std::printf("%s\n", SlavePath.c_str());
  std::fflush(stdout);

  TFaults Faults(Options.ErrorCommands, Options.Noise, Options.StallAfter, Options.DropAfter);
  Faults.SetSlowCommands(Options.SlowCommands);
  Faults.SetStatShort(Options.StatShort);
  Faults.SetSplitReadyMs(Options.SplitReadyMs);
  Faults.SetCardFree(Options.CardFree);
  Faults.SetFlipBytes(Options.FlipBytes);
  Faults.SetWithout(Options.Without);
  TFlipperVolumes Volumes;
  Volumes.IntStamp = Volumes.ExtStamp = static_cast<uint64_t>(std::time(nullptr));
  std::thread Shell;
  if (!Options.Silent) {
    Shell = std::thread([&] {
      if (Options.Device == TDeviceKind::Portapack) {
        // The shell starts at the first port open and lives on across closes.
        if (!Link.BeginSession()) return;
        TPortapackShell Portapack(Link, Faults, Options.Root);
        Portapack.Run();
      } else {
        // Every port open starts a fresh command line; closing the port ends it.
        while (Link.BeginSession()) {
          TFlipperShell Flipper(Link, Faults, Options.Root, Options.FlipperName, Volumes);
          Flipper.RunSession();
        }
      }
    });
  }
  Link.Run(StopPipe[0]);
  if (Shell.joinable()) Shell.join();
  return 0;
}
