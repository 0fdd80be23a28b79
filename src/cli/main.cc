#include <signal.h>
#include <unistd.h>

#include <string>

#include "cli/curl_tool.h"
#include "cli/descriptors.h"
#include "http/http.h"
#include "http/retry_wait.h"
#include "http/trace.h"

int main(int argc, char* argv[]) {
  // Before any file is opened: with standard error closed, the trace or the
  // package would become descriptor 2 and take in what is meant for it.
  // Without /dev/null there is no safe way on, and nothing to say it with.
  if (!OpenStandardDescriptors()) return 255;
  // A reader of the version text that went away (a pipe into head) must not
  // end the run before a -d that follows: the write fails, nothing else.
  signal(SIGPIPE, SIG_IGN);
  // Under a file-size limit a download's write fails with EFBIG instead, and
  // is handled as any failed write: the temporary file is removed.
  signal(SIGXFSZ, SIG_IGN);
  trace::Start(MGMTFETCH_VERSION, argc, argv);
  // A value it ignores is said once, whatever jobs follow, as the trace's is.
  pacing::RetryWaitFromEnvironment();
  int status = 0;
  {
    CurlTool tool;
    int option;
    while ((option = getopt(argc, argv, "a:wd:t:")) != -1) {
      switch (option) {
        case 'a':
          tool.set_address(optarg);
          break;
        case 'w':
          tool.get_server_version();
          break;
        case 'd':
          status = tool.download_package(std::string(optarg));
          break;
        case 't':
          ParseTimeout(optarg, &timeout);
          break;
        default:
          usage();
          break;
      }
    }
  }
  trace::End(status & 0xff);
  return status;
}
