// The structure-aware mutator of the "tokens" target: it cuts the input into
// VELK tokens (blanks, words and numbers, strings, comments, operators) and
// edits whole tokens - replacing or inserting words of the dictionary,
// deleting, repeating, copying and swapping spans - so that most mutants still
// get past the scanner and far into the grammar. Repeating a span builds the
// deep nesting and long chains that byte-level mutation rarely reaches.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

// Dictionary lines look like name="text" with \\, \" and \xNN escapes.
std::vector<std::string> loadDictionary() {
  std::vector<std::string> words;
  const char* path = std::getenv("VELK_FUZZ_DICT");
  std::ifstream file(path != nullptr ? path : VELK_FUZZ_DEFAULT_DICT);
  std::string line;
  while (std::getline(file, line)) {
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
    std::string word;
    for (size_t k = open + 1; k < close; k++) {
      if (line[k] != '\\' || k + 1 >= close) {
        word += line[k];
      } else if (line[k + 1] == 'x' && k + 3 < close) {
        word += static_cast<char>(std::stoi(line.substr(k + 2, 2), nullptr, 16));
        k += 3;
      } else {
        word += line[++k];
      }
    }
    words.push_back(word);
  }
  if (words.empty()) words = {"{", "}", "(", ")", ";", "var", "uint8", "x", "=", "1"};
  return words;
}

const std::vector<std::string>& dictionary() {
  static const std::vector<std::string> words = loadDictionary();
  return words;
}

bool isWordChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '#' || c >= 0x80; }

// Length of the token at text[k].
size_t tokenLength(const std::string& text, size_t k) {
  const size_t n = text.size();
  const unsigned char c = static_cast<unsigned char>(text[k]);
  size_t e = k + 1;
  if (std::isspace(c)) {
    while (e < n && std::isspace(static_cast<unsigned char>(text[e]))) e++;
  } else if (isWordChar(c)) {
    while (e < n && (isWordChar(static_cast<unsigned char>(text[e])) || text[e] == '.')) e++;
  } else if (c == '"') {
    while (e < n && text[e] != '"' && text[e] != '\n') e += text[e] == '\\' ? 2 : 1;
    e = std::min(n, e + 1);
  } else if (text.compare(k, 2, "/*") == 0) {
    const size_t close = text.find("*/", k + 2);
    e = close == std::string::npos ? n : close + 2;
  } else if (text.compare(k, 2, "//") == 0) {
    const size_t eol = text.find('\n', k);
    e = eol == std::string::npos ? n : eol;
  } else {
    static const char* const kPairs[] = {"<<", ">>", "==", "!=", "<=", ">="};
    for (const char* pair : kPairs)
      if (text.compare(k, 2, pair) == 0) e = k + 2;
  }
  return e - k;
}

std::vector<std::string> tokenize(const std::string& text) {
  std::vector<std::string> tokens;
  for (size_t k = 0; k < text.size();) {
    const size_t length = tokenLength(text, k);
    tokens.push_back(text.substr(k, length));
    k += length;
  }
  return tokens;
}

// One token-level edit of tokens; false when the input is too small for it.
bool editTokens(std::vector<std::string>& tokens, std::mt19937& rng) {
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::vector<std::string>& words = dictionary();
  const std::string& word = words[pick(words.size())];
  const size_t n = tokens.size();
  switch (pick(6)) {
    case 0:  // insert a dictionary word
      tokens.insert(tokens.begin() + static_cast<long>(n == 0 ? 0 : pick(n + 1)), " " + word + " ");
      return true;
    case 1:  // replace a token by a dictionary word
      if (n == 0) return false;
      tokens[pick(n)] = word;
      return true;
    case 2: {  // delete a span of one to four tokens
      if (n == 0) return false;
      const size_t at = pick(n);
      const size_t count = std::min(n - at, 1 + pick(4));
      tokens.erase(tokens.begin() + static_cast<long>(at), tokens.begin() + static_cast<long>(at + count));
      return true;
    }
    case 3: {  // repeat a span in place, up to eight times
      if (n == 0) return false;
      const size_t at = pick(n);
      const size_t count = std::min(n - at, 1 + pick(12));
      const std::vector<std::string> span(tokens.begin() + static_cast<long>(at),
                                          tokens.begin() + static_cast<long>(at + count));
      for (size_t r = 1 + pick(8); r > 0; r--)
        tokens.insert(tokens.begin() + static_cast<long>(at), span.begin(), span.end());
      return true;
    }
    case 4: {  // copy a span elsewhere
      if (n == 0) return false;
      const size_t from = pick(n);
      const size_t count = std::min(n - from, 1 + pick(16));
      const std::vector<std::string> span(tokens.begin() + static_cast<long>(from),
                                          tokens.begin() + static_cast<long>(from + count));
      tokens.insert(tokens.begin() + static_cast<long>(pick(n + 1)), span.begin(), span.end());
      return true;
    }
    default:  // swap two tokens
      if (n < 2) return false;
      std::swap(tokens[pick(n)], tokens[pick(n)]);
      return true;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  std::mt19937 rng(seed);
  // Now and then a byte-level edit, for what no token edit can make.
  if (rng() % 8 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  std::vector<std::string> tokens = tokenize(std::string(reinterpret_cast<char*>(data), size));
  for (unsigned edits = 1 + rng() % 3; edits > 0; edits--) editTokens(tokens, rng);
  std::string result;
  for (const std::string& token : tokens) result += token;
  if (result.size() > maxSize || result.empty()) return LLVMFuzzerMutate(data, size, maxSize);
  std::memcpy(data, result.data(), result.size());
  return result.size();
}
