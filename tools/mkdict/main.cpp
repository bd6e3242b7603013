// mkdict: builds the dictionary database file from the English–Persian word list.
//
//   mkdict SOURCE OUT [--password P]
//   mkdict --synthetic N [--seed S] OUT [--password P]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tools/mkdict/dictionary_file.h"
#include "tools/mkdict/word_list.h"

namespace {

const char* const kUsage =
    "Usage: mkdict SOURCE OUT [--password P]\n"
    "       mkdict --synthetic N [--seed S] OUT [--password P]\n"
    "Builds the dictionary database OUT (tables eng2per, per2en, flashcard) from the word\n"
    "list SOURCE, or from N made-up headwords. An existing OUT is replaced as a whole and\n"
    "keeps its flashcards. The password defaults to the dictionary's own.\n";

bool whole_number(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return end == text.c_str() + text.size() && value >= 0;
}

int usage_error(const std::string& why) {
  std::fprintf(stderr, "mkdict: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dadoveri::mkdict;
  UseFixedCollationAndCodePage();
  std::vector<std::string> positional;
  std::string password = kDefaultPassword;
  std::optional<long long> synthetic;
  long long seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--password") {
      const auto v = value();
      if (!v) return usage_error("--password needs a value");
      password = *v;
    } else if (a == "--synthetic") {
      const auto v = value();
      long long n = 0;
      if (!v || !whole_number(*v, n) || n == 0) return usage_error("--synthetic needs a positive count");
      synthetic = n;
    } else if (a == "--seed") {
      const auto v = value();
      if (!v || !whole_number(*v, seed)) return usage_error("--seed needs a whole number");
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_error("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != (synthetic ? 1u : 2u))
    return usage_error(synthetic ? "give OUT alone with --synthetic" : "give SOURCE and OUT");
  const std::string out = positional.back();

  try {
    const auto start = std::chrono::steady_clock::now();
    WordList list;
    if (synthetic) {
      list.Senses = SyntheticSenses(*synthetic, static_cast<uint64_t>(seed));
    } else {
      std::ifstream in(positional[0], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "mkdict: cannot read '%s'\n", positional[0].c_str());
        return 1;
      }
      list = ParseWordList(in);
    }
    for (const BadLine& b : list.Bad) std::fprintf(stderr, "%s:%lld: %s; line left out\n", positional[0].c_str(),
                                                   static_cast<long long>(b.Line), b.Why.c_str());
    const Dictionary d = BuildDictionary(list.Senses);
    for (const std::string& h : d.LeftOut)
      std::printf("not in eng2per (Windows-1252 cannot hold it): %s\n", h.c_str());
    const int64_t cards = ReplaceDictionaryFile(out, password, d);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu senses, %zu bad lines; eng2per %zu records, per2en %zu records, flashcard %lld kept; %.1f s\n",
                out.c_str(), list.Senses.size(), list.Bad.size(), d.Eng2Per.size(), d.Per2En.size(),
                static_cast<long long>(cards), seconds);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkdict: %s\n", e.what());
    return 1;
  }
}
