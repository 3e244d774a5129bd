// getopt_long over a list of words, its mistakes worded instead of printed.
#include "platform/command_line.h"

#include <cstring>

namespace platform {
namespace {

// The long option a mistake was made with ("--ver" of "--ver=3"), and the mistake.
std::string LongOptionError(const std::string& word, const option* long_options, bool no_value) {
  const std::string name = word.substr(0, word.find('='));
  const std::string typed = name.substr(2);
  std::string matches;
  int count = 0;
  for (const option* o = long_options; o->name != nullptr; ++o) {
    if (typed == o->name)
      return "option '--" + typed + "' " + (no_value ? "needs a value" : "takes no value");
    if (std::strncmp(o->name, typed.c_str(), typed.size()) == 0) {
      matches += std::string(count++ ? ", " : "") + "--" + o->name;
    }
  }
  if (count == 1)
    return "option '" + matches + "' " + (no_value ? "needs a value" : "takes no value");
  if (count > 1) return "ambiguous option '" + name + "' (" + matches + ")";
  return "unknown option '" + name + "'";
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, const char* short_options,
                             const option* long_options) {
  CommandLine line;
  // getopt may write to argv's strings; these are copies.
  std::vector<std::string> words;
  words.push_back("program");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // '-': operands come back in place (code 1), so nothing is permuted and each word's index
  // stays the one it had; ':': a missing value comes back as ':' rather than '?'.
  const std::string spec = std::string("-:") + short_options;
  const int saved_opterr = opterr;
  opterr = 0;
  optind = 0;  // glibc: start afresh, whatever an earlier parse left behind
  const int argc = static_cast<int>(words.size());
  for (;;) {
    const int at = optind == 0 ? 1 : optind;
    const int c = getopt_long(argc, argv.data(), spec.c_str(), long_options, nullptr);
    if (c == -1) break;
    if (c == 1) {
      line.operands.push_back(optarg);
    } else if (c == '?' || c == ':') {
      const std::string word = at < argc ? words[static_cast<size_t>(at)] : "";
      const bool missing = c == ':';
      if (word.rfind("--", 0) == 0) {
        line.error = LongOptionError(word, long_options, missing);
      } else {
        line.error = std::string(missing ? "option '-" : "unknown option '-") +
                     static_cast<char>(optopt) + (missing ? "' needs a value" : "'");
      }
      break;
    } else {
      line.options.push_back({c, optarg ? optarg : ""});
    }
  }
  // After "--" every word left is an operand.
  if (line.error.empty())
    for (int i = optind; i < argc; ++i) line.operands.push_back(words[static_cast<size_t>(i)]);
  opterr = saved_opterr;
  return line;
}

}  // namespace platform
