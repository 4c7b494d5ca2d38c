// Body canonicalization plus SHA-256 over a 1 MiB body with mail-like lines,
// beside raw OpenSSL SHA-256 of the same bytes in the same run. Run by hand:
//   build/bench/canon_bench [rounds]
// Prints MB/s (best of the rounds) and the share of raw SHA-256 speed.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "crypto/canonicalization.h"

namespace {

using tollbrook::BodyCanonicalizer;
using tollbrook::CanonicalizationMode;

// Prose lines of 40 to 76 bytes, words of 1 to 10 letters, with the odd blank
// line, quoted line, indented line and line with trailing blanks.
std::string mailBody(size_t size) {
  std::mt19937 random(7);
  std::string body;
  body.reserve(size + 128);
  while (body.size() < size) {
    const auto kind = random() % 20;
    if (kind == 0) {
      body += "\r\n";
      continue;
    }
    std::string line = kind == 1 ? "> " : (kind == 2 ? "    " : "");
    const size_t width = 40 + random() % 37;
    while (line.size() < width) {
      const size_t letters = 1 + random() % 10;
      for (size_t i = 0; i < letters; ++i) line += static_cast<char>('a' + random() % 26);
      line += (random() % 12 == 0) ? ", " : " ";
    }
    line.pop_back();
    if (kind == 3) line += "   ";
    body += line + "\r\n";
  }
  body.resize(size);
  return body;
}

template <typename Work>
double bestMegabytesPerSecond(size_t bytes, int rounds, int iterations, Work work) {
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) work();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::max(best, static_cast<double>(bytes) * iterations / elapsed.count() / 1e6);
  }
  return best;
}

volatile unsigned char sink;

void rawSha256(const std::string& body) {
  unsigned char digest[32];
  unsigned int length = 0;
  if (EVP_Digest(body.data(), body.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    std::abort();
  }
  sink = digest[0];
}

void streamingHash(CanonicalizationMode mode, const std::string& body) {
  auto digest = tollbrook::canonicalBodyHash(mode, body);
  if (!digest) std::abort();
  sink = (*digest)[0];
}

void canonicalThenHash(CanonicalizationMode mode, const std::string& body) {
  BodyCanonicalizer canon(mode);
  if (!canon.update(body)) std::abort();
  auto canonical = canon.finish();
  if (!canonical) std::abort();
  auto digest = tollbrook::bodyHash(*canonical);
  if (!digest) std::abort();
  sink = (*digest)[0];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const int iterations = 40;
  const std::string body = mailBody(1 << 20);
  const double raw =
      bestMegabytesPerSecond(body.size(), rounds, iterations, [&] { rawSha256(body); });
  std::printf("1 MiB body, best of %d rounds of %d\n", rounds, iterations);
  std::printf("%-34s %8.0f MB/s\n", "raw SHA-256", raw);
  for (CanonicalizationMode mode : {CanonicalizationMode::Simple, CanonicalizationMode::Relaxed}) {
    const char* name = mode == CanonicalizationMode::Simple ? "simple" : "relaxed";
    const double streaming =
        bestMegabytesPerSecond(body.size(), rounds, iterations, [&] { streamingHash(mode, body); });
    const double twoStep = bestMegabytesPerSecond(body.size(), rounds, iterations,
                                                  [&] { canonicalThenHash(mode, body); });
    std::printf("%-8s canonicalize+hash (hasher)  %8.0f MB/s  %5.1f%% of raw\n", name, streaming,
                100 * streaming / raw);
    std::printf("%-8s canonicalize, then hash     %8.0f MB/s  %5.1f%% of raw\n", name, twoStep,
                100 * twoStep / raw);
  }
  return 0;
}
