#include "parser_options.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "velk_version.h"

namespace {

const char* programName(int argc, char* const argv[]) {
  return (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
}

// Short options --------------------------------------------------------------

// Moves past the current argument once its cluster is used up.
void finishClusterIfEmpty(OptionScanner& s, const char*& cluster) {
  if (*cluster == '\0') {
    cluster = nullptr;
    ++s.optind;
  }
}

// Position of letter in shortopts, or null. ':' only ever marks arguments.
const char* findShortOption(const char* shortopts, char letter) {
  if (letter == ':' || shortopts == nullptr) return nullptr;
  return std::strchr(shortopts, letter);
}

// Scans the next letter of a cluster. The cluster position is private to the
// scanner; getopt_long hands it over by reference.
int scanShort(OptionScanner& s, const char*& cluster, int argc, char* const argv[],
               const char* shortopts) {
  const char letter = *cluster++;
  const char* entry = findShortOption(shortopts, letter);
  s.optarg = nullptr;
  if (entry == nullptr) {
    std::printf("%s: illegal option -- %c\n", programName(argc, argv), letter);
    s.optopt = static_cast<unsigned char>(letter);
    finishClusterIfEmpty(s, cluster);
    return '?';
  }
  const bool takesArgument = entry[1] == ':';
  const bool optional = takesArgument && entry[2] == ':';
  if (!takesArgument) {
    finishClusterIfEmpty(s, cluster);
    return static_cast<unsigned char>(letter);
  }
  // The argument is the rest of the cluster, or else the next argument
  // (an optional argument must be attached).
  if (*cluster != '\0') {
    s.optarg = cluster;
    ++s.optind;
  } else if (optional) {
    ++s.optind;
  } else if (s.optind + 1 < argc) {
    s.optarg = argv[s.optind + 1];
    s.optind += 2;
  } else {
    std::printf("%s: option requires an argument -- %c\n", programName(argc, argv), letter);
    s.optopt = static_cast<unsigned char>(letter);
    ++s.optind;
    cluster = nullptr;
    return '?';
  }
  cluster = nullptr;
  return static_cast<unsigned char>(letter);
}

// Long options ---------------------------------------------------------------

// The entry named exactly by the first nameLength bytes of text, or else the
// first entry in table order that the text abbreviates; -1 if none.
int findLongOption(const velk_option* longopts, const char* text, size_t nameLength) {
  if (longopts == nullptr || nameLength == 0) return -1;
  int firstPrefix = -1;
  for (int i = 0; longopts[i].name != nullptr; ++i) {
    const char* name = longopts[i].name;
    if (std::strncmp(name, text, nameLength) != 0) continue;
    if (name[nameLength] == '\0') return i;
    if (firstPrefix < 0) firstPrefix = i;
  }
  return firstPrefix;
}

// Scans argv[optind], an argument "--name" or "--name=value".
int scanLong(OptionScanner& s, int argc, char* const argv[], const velk_option* longopts,
              int* longindex) {
  const char* text = argv[s.optind] + 2;
  const char* equals = std::strchr(text, '=');
  const size_t nameLength = equals ? static_cast<size_t>(equals - text) : std::strlen(text);
  const int index = findLongOption(longopts, text, nameLength);
  ++s.optind;
  s.optarg = nullptr;
  if (index < 0) {
    // The name as written, without "=value": the value is not the mistake.
    std::printf("%s: illegal option -- %.*s\n", programName(argc, argv),
                static_cast<int>(nameLength), text);
    s.optopt = 0;
    return '?';
  }
  const velk_option& option = longopts[index];
  if (option.has_arg == kRequiredArgument) {
    if (equals != nullptr) {
      s.optarg = equals + 1;
    } else if (s.optind < argc) {
      s.optarg = argv[s.optind++];
    } else {
      std::printf("%s: option requires an argument -- %.*s\n", programName(argc, argv),
                  static_cast<int>(nameLength), text);
      s.optopt = option.val;
      return '?';
    }
  } else if (option.has_arg == kOptionalArgument && equals != nullptr) {
    s.optarg = equals + 1;
  }
  // A value given to an option without argument is ignored.
  if (longindex != nullptr) *longindex = index;
  if (option.flag != nullptr) {
    *option.flag = option.val;
    return 0;
  }
  return option.val;
}

}  // namespace

int getopt_long(OptionScanner& s, int argc, char* const argv[], const char* shortopts,
                const velk_option* longopts, int* longindex) {
  if (s.cluster_ != nullptr && *s.cluster_ != '\0') {
    return scanShort(s, s.cluster_, argc, argv, shortopts);
  }
  s.cluster_ = nullptr;
  s.optarg = nullptr;
  if (argv == nullptr || s.optind < 1 || s.optind >= argc) return -1;
  const char* arg = argv[s.optind];
  // Options precede the operands: the first non-option ends the scan, and so
  // does a lone "-", which conventionally names standard input.
  if (arg == nullptr || arg[0] != '-' || arg[1] == '\0') return -1;
  if (arg[1] == '-') {
    if (arg[2] == '\0') {
      ++s.optind;
      return -1;
    }
    return scanLong(s, argc, argv, longopts, longindex);
  }
  s.cluster_ = arg + 1;
  return scanShort(s, s.cluster_, argc, argv, shortopts);
}

void parser_usage(const char* argv0) {
  std::printf("QuIv VELK Parser\n");
  std::printf("Version %s\n", velk_versionString());
  std::printf("Usage:\n");
  std::printf("    %s [<options>] <source file> [<output file>]\n\n", argv0 ? argv0 : "");
  std::printf("            --Werror            Make all warnings into errors\n");
  std::printf("        -c  --c_ast             Generate C code AST instead of standard format\n");
  std::printf("        -I  --include <path>    Specify include path (separated with semi-colon ';')\n");
  std::printf("        -m  --memory <size>     Specify maximum model size (default 1000000)\n");
  std::printf("        -q  --quiet             Quiet parsing if no error.\n");
  std::printf("\n");
  std::printf("        if <output file> is not specified output is in %s\n", kDefaultOutputFile);
  std::printf("\n");
}

namespace {

const char kShortOptions[] = "wI:s:lm:s:q";

const velk_option kLongOptions[] = {
    {"include", kRequiredArgument, nullptr, 'I'},
    {"version", kNoArgument, nullptr, 'v'},
    {"help", kNoArgument, nullptr, 'h'},
    {"Werror", kNoArgument, nullptr, 'w'},
    {"memory", kRequiredArgument, nullptr, 'm'},
    {"quiet", kNoArgument, nullptr, 'q'},
    {nullptr, 0, nullptr, 0},
};

enum class MemoryValue { kOk, kUnreadable, kNotInteger };

// Reads the AST capacity: digits only, no sign, no blanks, at most 2^32 - 1.
// A lenient conversion would turn "-5" into 4294967291 or "500abc" into 500.
MemoryValue parseMemoryValue(const char* text, u32* value) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return MemoryValue::kUnreadable;
  u64 result = 0;
  for (p = text; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return MemoryValue::kNotInteger;
    result = result * 10 + static_cast<u64>(*p - '0');
    if (result > 0xFFFFFFFFu) return MemoryValue::kNotInteger;
  }
  *value = static_cast<u32>(result);
  return MemoryValue::kOk;
}

// Applies one option; returns -1 to go on, or else the exit code.
int applyOption(int option, const char* argument, const char* argv0, ParserCommandLine& out) {
  switch (option) {
    case 'I':
      out.includes.emplace_back(argument);
      return -1;
    case 'w':
      out.werror = true;
      return -1;
    case 'q':
      out.quiet = true;
      return -1;
    case 'v':
    case 'h':
      parser_usage(argv0);
      return 0;
    case 'm':
      switch (parseMemoryValue(argument, &out.memory)) {
        case MemoryValue::kOk:
          return -1;
        case MemoryValue::kUnreadable:
          std::printf("error while reading -m/--memory option parameter\n");
          return 1;
        case MemoryValue::kNotInteger:
          std::printf("-m/--memory option expects integer parameter\n");
          return 1;
      }
      return 1;
    case '?':
      return 1;  // the scanner has explained
    default:
      // Letters the scanner accepts but the compiler gives no meaning (-l,
      // -s). Named by letter: -l carries no argument to quote.
      std::printf("Parameter: unknown option \"-%c\"\n", option);
      parser_usage(argv0);
      return 1;
  }
}

}  // namespace

int parser_scanCommandLine(int argc, char** argv, ParserCommandLine& out) {
  const char* argv0 = programName(argc, argv);
  OptionScanner scanner;
  for (;;) {
    const int option = getopt_long(scanner, argc, argv, kShortOptions, kLongOptions, nullptr);
    if (option == -1) break;
    const int code = applyOption(option, scanner.optarg, argv0, out);
    if (code != -1) return code;
  }
  if (scanner.optind >= argc) {
    parser_usage(argv0);
    return 1;
  }
  out.sourceFile = argv[scanner.optind];
  if (scanner.optind + 1 < argc) out.outputFile = argv[scanner.optind + 1];
  return -1;
}
