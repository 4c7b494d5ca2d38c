// Sealing a 10 KiB message with buildArcSet, at instance 1 and at instance 4,
// beside the floor of the same work measured in the same run: two bare
// RSA-2048 signatures plus SHA-256 of the body, straight OpenSSL calls. Run by
// hand:  build/bench/seal_bench [seconds]
// The three figures are measured in turns, in slices, and the best slice of
// each counts, so that load from other processes on a shared machine falls on
// all three alike. Prints sets per second on one core and the share of the floor.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "arc/arc_set_builder.h"
#include "bench/crypto_floor_parts.h"

namespace {

using namespace tollbrook;
using namespace tollbrook::bench;
using Clock = std::chrono::steady_clock;

std::string tenKibBody() {
  std::string body;
  int n = 0;
  while (body.size() < 10 * 1024) {
    body += "Line " + std::to_string(++n) +
            " of a message body of plain prose, long enough to look like mail.\r\n";
  }
  return body;
}

struct BenchMessage {
  std::deque<std::string> storage;  // field texts; views below point here
  std::vector<HeaderField> headers;
  std::string body = tenKibBody();

  void add(std::string name, std::string value) {
    storage.push_back(std::move(name));
    std::string_view n = storage.back();
    storage.push_back(std::move(value));
    headers.insert(headers.begin(), HeaderField{n, storage.back(), true});
  }
};

template <typename Work>
double perSecond(double seconds, Work work) {
  long rounds = 0;
  auto start = Clock::now();
  auto limit = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < limit) {
    work();
    ++rounds;
  }
  return static_cast<double>(rounds) / std::chrono::duration<double>(Clock::now() - start).count();
}

SealRequest requestFor(const PrivateKey& key, std::span<const ArcSet> sets) {
  SealRequest request;
  request.domain = "bench.example";
  request.selector = "sel";
  request.signedHeaders = kDefaultSignedHeaders;
  request.authservId = "mx.bench.example";
  request.key = &key;
  request.sets = sets;
  request.timestamp = 1700000000;
  request.instance = static_cast<uint32_t>(sets.size() + 1);
  request.cv = sets.empty() ? Cv::None : Cv::Pass;
  return request;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 9.0;
  PrivateKey key(EvpPkeyPtr(EVP_RSA_gen(2048)));
  BenchMessage message;
  message.add("Message-ID", "<bench@example.org>");
  message.add("Date", "Thu, 1 Jan 2026 00:00:00 +0000");
  message.add("Subject", "A message of ten kibibytes");
  message.add("To", "Bob <bob@example.com>");
  message.add("From", "Alice <alice@example.org>");
  message.add("Received", "from a.example by b.example; Thu, 1 Jan 2026 00:00:00 +0000");

  // The message as it is for instance 1, and with three sets on top of it for
  // instance 4.
  std::vector<HeaderField> bare = message.headers;
  MessageToSeal view{bare, message.body, false};
  for (int i = 0; i < 3; ++i) {
    std::vector<ArcSet> sets = collectArcSets(message.headers).value();
    auto set =
        buildArcSet(MessageToSeal{message.headers, message.body, false}, requestFor(key, sets));
    if (!set) std::abort();
    message.add("ARC-Authentication-Results", set->aar);
    message.add("ARC-Message-Signature", set->ams);
    message.add("ARC-Seal", set->seal);
  }
  std::vector<ArcSet> three = collectArcSets(message.headers).value();
  MessageToSeal sealed{message.headers, message.body, false};

  // The floor: what no implementation can skip.
  std::string input(600, 'x');
  double floor = 0, first = 0, fourth = 0;
  constexpr int kSlices = 10;
  double slice = seconds / (3 * kSlices);
  for (int i = 0; i < kSlices; ++i) {
    floor = std::max(floor, perSecond(slice, [&] {
                       sha256OrDie(message.body);
                       signOrDie(key.pkey(), input);
                       signOrDie(key.pkey(), input);
                     }));
    first = std::max(first, perSecond(slice, [&] {
                       if (!buildArcSet(view, requestFor(key, {}))) std::abort();
                     }));
    fourth = std::max(fourth, perSecond(slice, [&] {
                        if (!buildArcSet(sealed, requestFor(key, three))) std::abort();
                      }));
  }

  std::printf("floor (2 x RSA-2048 sign + SHA-256 of 10 KiB): %8.1f per second\n", floor);
  std::printf("buildArcSet, instance 1:                      %8.1f sets per second (%5.1f%%)\n",
              first, 100.0 * first / floor);
  std::printf("buildArcSet, instance 4:                      %8.1f sets per second (%5.1f%%)\n",
              fourth, 100.0 * fourth / floor);
  return 0;
}
