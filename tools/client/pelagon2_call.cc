// pelagon2-call: send one request to the host and print its reply.
//
//   pelagon2-call [--host PATH] METHOD [key=value ...]
//
// Exit status: 0 for a result, 1 for an error reply, 2 when no reply came.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/client/call_arguments.h"
#include "tools/client/host_client.h"

namespace {

std::string default_host_path() {
  // Next to this program when installed, else the one this build produced.
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/') + 1);
    const std::string sibling = dir + "pelagon2";
    if (::access(sibling.c_str(), X_OK) == 0) return sibling;
  }
  return PELAGON2_BUILT_HOST;
}

int usage() {
  std::fprintf(stderr,
               "usage: pelagon2-call [--host PATH] METHOD [key=value ...]\n"
               "  value: JSON, or text when not valid JSON; @FILE inserts the file as base64;\n"
               "  dotted keys nest: options.minSimilarity=0.9\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string host = default_host_path();
  if (args.size() >= 2 && args[0] == "--host") {
    host = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h") return usage();

  const std::string method = args[0];
  const pelagon2::Expected<pelagon2::Json> params =
      pelagon2::build_params(std::vector<std::string>(args.begin() + 1, args.end()));
  if (!params) {
    std::fprintf(stderr, "pelagon2-call: %s\n", params.error().c_str());
    return usage();
  }

  pelagon2::HostClient client(host);
  if (!client.started()) {
    std::fprintf(stderr, "pelagon2-call: %s\n", client.last_error().c_str());
    return 2;
  }
  const std::optional<pelagon2::Json> reply = client.call(method, *params);
  if (!reply) {
    std::fprintf(stderr, "pelagon2-call: no reply: %s\n", client.last_error().c_str());
    return 2;
  }
  std::printf("%s\n", pelagon2::pretty_json(*reply).c_str());
  return reply->contains("error") ? 1 : 0;
}
